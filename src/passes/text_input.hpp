// An input opened by a pass: its byte source, its reader, and its first data line counted and
// kept as the first record, so that nothing is read twice and a pipe loses no line.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <vector>

#include "source/byte_source.hpp"
#include "text/record_reader.hpp"
#include "text/text_options.hpp"
#include "passes/pass_error.hpp"

namespace lagstat::passes {

class text_input {
public:
    /// Opens path and reads its first data line (options valid: input::validate). `interrupted`
    /// is asked while reads wait (see lagstat::interrupt_check); when it stops the pass the result
    /// is failure::interrupted. A fault of usecols against the first data line is
    /// failure::bad_options with the reason.
    pass_error open(const char* path, input::interrupt_check interrupted,
                    const input::text_options& options = {});
    /// The same over a source the caller made (a pipe's descriptor, bytes in memory, a source
    /// that fails on purpose, one whose head was looked at: a replay_source). A regular file's
    /// descriptor is still read by ranges. Tests give a small reader buffer, so that the first
    /// line's read leaves little for the passes' chunks.
    pass_error open_source(std::unique_ptr<input::byte_source> source,
                           const input::text_options& options = {},
                           std::size_t reader_buffer = input::record_reader::default_buffer_size);

    /// Values of a record: the first data line's field count, or the number of usecols.
    int columns() const noexcept { return columns_; }
    /// The first data line's values (columns() of them); the caller may take them over.
    std::vector<double>& first() noexcept { return first_; }
    input::record_reader& reader() noexcept { return *reader_; }
    input::byte_source& source() noexcept { return *source_; }

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
    /// The offset after the bytes the reader has taken from the file: its pending() bytes, then
    /// the file from here on, are the lines after the first data line.
    std::uint64_t plain_file_offset() const noexcept;
    /// Whether its size or modification time differ from when it was opened.
    bool plain_file_changed() const noexcept;
    /// At its end: a read error when the file is now shorter than the read_up_to bytes read
    /// from it, since what was read may then be short too.
    pass_error check_plain_file_end(off_t read_up_to) const noexcept;

private:
    bool damaged() const;

    std::unique_ptr<input::byte_source> source_;
    std::unique_ptr<input::record_reader> reader_;
    std::vector<double> first_;
    int columns_ = 0;
    off_t opened_size_ = 0;
    timespec opened_mtime_{};
};

}  // namespace lagstat::passes
