// An input opened by a pass: its byte source, and the text from its first data line on, found,
// checked and counted in the buffer that the threaded reader (frame_batches) then takes over and
// goes on filling, so that nothing is read twice, a pipe loses no line, and the first record is
// parsed as every other one is. A NumPy .npy file, known by its magic bytes, is opened here too:
// its header read instead of a first line, the bytes after it left in the same buffer.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "binary/npy_header.hpp"
#include "passes/pass_error.hpp"
#include "source/byte_source.hpp"
#include "text/text_options.hpp"

namespace lagstat::passes {

class text_input {
public:
    /// Bytes the text buffer starts with (the threaded reader makes it larger).
    static constexpr std::size_t default_buffer_size = std::size_t{1} << 20;
    /// Most bytes the first data line may take, its line end included, since its field count is
    /// not known while it is held (a longer one is failure::no_memory, naming the line).
    static constexpr std::size_t max_first_line_bytes = std::size_t{256} << 20;

    /// Opens path and reads its first data line (options valid: text::validate). `interrupted`
    /// is asked while reads wait (see lagstat::interrupt_check); when it stops the pass the result
    /// is failure::interrupted. A fault of usecols against the first data line is
    /// failure::bad_options with the reason.
    pass_error open(const char* path, source::interrupt_check interrupted,
                    const text::text_options& options = {});
    /// The same over a source the caller made (a pipe's descriptor, bytes in memory, a source
    /// that fails on purpose, one whose head was looked at: a replay_source). A regular file's
    /// descriptor is still read by ranges. Tests give a small buffer, so that the first line
    /// spans many reads and grows it.
    pass_error open_source(std::unique_ptr<source::byte_source> source,
                           const text::text_options& options = {},
                           std::size_t buffer_size = default_buffer_size);

    /// The header of a .npy input, null for text. Its columns stand for a line's fields (usecols
    /// select among them); its rows are the frames; the layout's line numbers count frames.
    const binary::npy_layout* npy() const noexcept { return npy_ ? &npy_layout_ : nullptr; }

    /// Values of a record: the first data line's field count, or the number of usecols.
    int columns() const noexcept { return columns_; }
    /// The options resolved against the first data line: what the parse of every line needs.
    const text::parse_layout& layout() const noexcept { return layout_; }
    /// The 1-based physical line of the first data line (skipped rows and comment lines count).
    std::uint64_t first_line() const noexcept { return first_line_; }
    /// The first record's values (columns() of them), parsed from the text; false when memory
    /// runs out. Only until the threaded reader has taken the text over.
    bool first_record(std::vector<double>& values) const;
    source::byte_source& source() noexcept { return *source_; }

    /// The text read so far, from the first data line on: length bytes in a buffer of capacity
    /// bytes and text::chunk_padding more, for the threaded reader to take over.
    struct text_buffer {
        std::unique_ptr<char[]> bytes;
        std::size_t capacity = 0;
        std::size_t length = 0;
        bool ended = false;  // the source has ended: nothing more comes from it
    };
    text_buffer& text() noexcept { return text_; }

    /// The read error the source reports (interrupted when the interrupt check stopped it).
    pass_error read_error() const;
    /// A refused line of compressed input may be the damage of its stream, whose check sums
    /// come later: the stream's error then, else e as it is.
    pass_error explain(const pass_error& e) const;

    /// At the end of the data: compressed input is read to its end, so that a damaged stream
    /// (its check sums come last) is not taken for data that merely end early.
    pass_error check_rest() const;

    // ---- a regular plain file, which threads may read by ranges ------------------------------

    /// Its descriptor, -1 for other input (pipes, compressed input).
    int plain_file_fd() const noexcept;
    /// The offset after the bytes read from the file so far: text(), then the file from here
    /// on, are the lines from the first data line on.
    std::uint64_t plain_file_offset() const noexcept;
    /// Whether its size or modification time differ from when it was opened.
    bool plain_file_changed() const noexcept;
    /// At its end: a read error when the file is now shorter than the read_up_to bytes read
    /// from it, since what was read may then be short too.
    pass_error check_plain_file_end(off_t read_up_to) const noexcept;

private:
    enum class got { bytes, end, error, full };
    got read_more(std::size_t& keep_from, std::size_t most);
    got skip_line(std::size_t& at);
    pass_error find_first_line(std::uint64_t skip_rows);
    pass_error open_npy(const text::text_options& options);
    pass_error npy_refused(std::string why);
    bool damaged() const;

    std::unique_ptr<source::byte_source> source_;
    text::parse_layout layout_;
    text_buffer text_;
    std::uint64_t first_line_ = 0;
    int columns_ = 0;
    off_t opened_size_ = 0;
    timespec opened_mtime_{};
    bool npy_ = false;
    binary::npy_layout npy_layout_;
    std::string npy_why_;  // the text of a refused .npy, which the pass_error points to
    std::vector<double> first_values_;  // a .npy's first record
};

}  // namespace lagstat::passes
