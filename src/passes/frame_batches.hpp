// The frames of an input from its first data line on, a batch at a time, parsed on a team of
// threads.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "text/chunk_parser.hpp"
#include "passes/pass_error.hpp"
#include "passes/text_input.hpp"
#include "passes/thread_team.hpp"

namespace lagstat::passes {

/// Takes over the text of `in` from its first data line on (the opening found and counted that
/// line in this same buffer) and reads on into it, a chunk of whole lines at a time, cuts each
/// chunk at line ends into pieces (a few per thread), and has the threads parse them into frames
/// of each piece's own; the first data line is the first batch's first row. Batches come in
/// frame order, and so do their failures: the first refused line in frame order is the error, a
/// read error counts where its bytes would have been, and whatever lies after the end of the
/// data (a blank line) is dropped, so that the frames, the line numbers and the error are those
/// of one reader going line by line, whatever the number of threads. A line longer than the
/// buffer makes it grow, but is refused first when its start already shows a fault (more fields
/// than the frame), so that such a line is never held whole.
///
/// A regular plain file is read with pread by every thread at once, each its own range of the
/// next chunk; with a frames sink and several threads, each piece is a range of the file that
/// the thread taking it reads and parses at once, into buffers of that thread's own. Pipes and
/// compressed input are read by the calling thread. A regular file that is found shorter at
/// its end than what was read is a read error (the data would be short);
/// a last line without its '\n' is a frame only when the file's size and time are those it had
/// when it was opened, since otherwise it is a line still being written.
///
/// A .npy input (in.npy()) comes out of the same batches: each a run of rows cut into pieces,
/// whose threads read their own rows with pread from a regular file (a Fortran-order one column
/// by column) or take them from the buffer the calling thread fills from a pipe or a decoder,
/// and decode them into frames (binary/npy_decode.hpp). Data that end before the header's
/// shape is filled are a read error after the whole frames before it, a regular file found
/// shorter than that under the pass one before the batch that missed its bytes.
class frame_batches {
public:
    /// Called on the thread that parsed them, before the batch is handed out: the piece index,
    /// its frames (stride doubles apart) and their count.
    using piece_hook = std::function<void(std::size_t piece, double* frames, std::size_t count)>;

    /// Bytes of text a chunk holds per thread by default (the chunk grows for longer lines).
    /// Tests pass a few bytes, so that small inputs span many chunks.
    static constexpr std::size_t default_piece_bytes = std::size_t{2} << 20;
    /// A batch of several threads is cut into this many pieces per thread, which they take in
    /// turn.
    static constexpr std::size_t pieces_per_thread = 4;
    /// With a frames sink, twice as many: its last piece's adds end the batch, and smaller
    /// pieces leave less of it to one thread.
    static constexpr std::size_t sink_pieces_per_thread = 8;
    /// Read by ranges (a regular file with a sink on several threads), four times as many of the
    /// same bytes each (a piece_bytes / 8 range): a batch's end, where one thread finishes its
    /// last range while the others wait, comes a quarter as often.
    static constexpr std::size_t range_pieces_per_thread = 32;

    frame_batches(text_input& in, thread_team& team, source::interrupt_check interrupted,
                  piece_hook hook = nullptr, std::size_t piece_bytes = default_piece_bytes);
    ~frame_batches();
    frame_batches(const frame_batches&) = delete;
    frame_batches& operator=(const frame_batches&) = delete;

    /// Where a line starting with the segment marker stood: before rows()[row] (row may be
    /// rows().size(): after the batch's last frame), at 1-based physical line `line`; text is
    /// the line without its end.
    struct segment_break {
        std::size_t row;
        std::uint64_t line;
        std::string text;
    };
    /// The physical line of rows()[row], for the first frame of the text after a marker and of
    /// each piece (the frames that can start a segment).
    struct row_line {
        std::size_t row;
        std::uint64_t line;
    };

    /// Lines starting with `marker` (not empty) are segment breaks rather than data or
    /// comments, from the next batch on. Without it there are none.
    void set_segment_marker(std::string marker);
    const std::vector<segment_break>& breaks() const noexcept { return breaks_; }
    const std::vector<row_line>& row_lines() const noexcept { return row_lines_; }

    /// Doubles from one frame to the next in a piece (the record's width).
    std::size_t stride() const noexcept { return stride_; }

    /// Reads and parses the next batch. true when it holds frames or more may follow; false
    /// at the end of the data or on a failure (error()). The frames of a batch that ends in a
    /// failure are handed out before it: rows() are valid either way until the next call.
    bool next();
    /// Work for the calling thread during the next call of next(), beside the parse (the
    /// previous batch's output, written while the other threads parse): it runs exactly once,
    /// before next() returns, on the calling thread.
    void set_side_job(std::function<void()> job) { side_job_ = std::move(job); }
    /// Work for every thread of the team during the next call of next(): job(t) for each
    /// t < team size, on thread t, before it takes pieces of the batch to parse, so that work
    /// on the batch before (with keep_previous_frames) fills the time a thread would otherwise
    /// wait at the batch's end. Every call has returned when next() returns; the job must not
    /// throw.
    void set_team_job(std::function<void(std::size_t)> job) { team_job_ = std::move(job); }
    /// Where the frames of the batches to come go as they are parsed, a piece at a time: in
    /// frame order, never two calls at once, each on the thread that parsed the piece when the
    /// pieces before it are in (its frames still in that core's cache), otherwise on the thread
    /// that added those, and all before next() returns. A piece's frames after a failure or the
    /// end of the data do not come (just as they are not in rows(), which stays empty with a
    /// sink; piece_rows() counts them). The sink must not throw.
    /// false, and no sink set, for a .npy input, whose batch keeps none of its frames when one
    /// of its reads fails, which only the batch's end shows. Before the first next().
    using frames_sink = std::function<void(const double* frames, std::size_t count)>;
    bool set_frames_sink(frames_sink sink);
    /// From now on, the frames of a batch stay in place until the second call of next() after
    /// it (each piece alternates between two frame buffers, which doubles their memory), so that
    /// a team job may read them while the threads parse the next batch into the other buffers.
    void keep_previous_frames() noexcept { keep_previous_ = true; }
    /// Pieces a batch is cut into: piece_rows() has pieces() + 1 entries, and hooks get piece
    /// indices below it.
    std::size_t pieces() const noexcept;
    const std::vector<const double*>& rows() const noexcept { return rows_; }
    /// Where each piece's frames start in rows() (pieces + 1 entries): piece i holds rows
    /// [piece_rows()[i], piece_rows()[i + 1]).
    const std::vector<std::size_t>& piece_rows() const noexcept { return piece_rows_; }
    pass_error error() const noexcept { return error_; }
    /// Blank lines skipped so far (a layout that skips them).
    std::uint64_t blank_lines() const noexcept { return blank_lines_; }
    /// The 1-based line of the blank line that ended the data, or 0 (the input's end, a failure).
    std::uint64_t blank_end() const noexcept { return blank_end_; }

private:
    struct piece;

    bool next_batch();
    bool next_range_batch();
    void parse_range_piece(std::size_t i, std::size_t t, off_t a, off_t b, bool first);
    std::uint64_t collect_pieces();
    struct range_slot;
    void lend_slot(range_slot& slot, std::size_t i) noexcept;
    void take_back(range_slot& slot) noexcept;
    bool next_npy_batch();
    bool read_npy_range(char* dst, std::uint64_t from, std::size_t bytes, int& err) const noexcept;
    void decode_npy_piece(std::size_t i, std::uint64_t first_row, std::size_t count);
    void piece_parsed(std::size_t i) noexcept;
    void run_side_job();
    void run_team_job(std::size_t t);
    void fill();
    void fill_parallel();
    void fill_sequential();
    void grow(std::size_t least);
    pass_error refuse_cut_line();
    void parse_piece(std::size_t i, const char* begin, const char* end, bool final_piece);
    const char* find_marker(const char* from, const char* end) const noexcept;

    text_input& in_;
    thread_team& team_;
    source::interrupt_check interrupted_;
    piece_hook hook_;
    std::function<void()> side_job_;
    std::function<void(std::size_t)> team_job_;
    bool keep_previous_ = false;
    // The frames sink: the pieces parsed (set by their threads), the first one not yet handed
    // to it, and who holds it; stopped once a piece ends the batch's frames.
    frames_sink sink_;
    std::unique_ptr<std::atomic<bool>[]> sink_parsed_;
    std::atomic<std::size_t> sink_next_{0};
    std::atomic<bool> sink_held_{false};
    bool sink_stopped_ = false;
    const text::parse_layout& layout_;
    std::size_t stride_;

    std::unique_ptr<char[]> text_;
    std::size_t capacity_ = 0;  // bytes of text the buffer holds (padding comes on top)
    std::size_t length_ = 0;    // bytes in it
    bool source_done_ = false;  // nothing more will come from the input
    pass_error pending_;        // a read error that comes after the bytes in the buffer

    // A regular plain file, read with pread from offset_ on (-1: read through the source).
    int fd_ = -1;
    off_t offset_ = 0;
    std::size_t min_share_ = 0;  // fewest bytes worth a thread's pread
    // Batches read by ranges (see next_range_batch): possible for this input; the next batch
    // fills the shared buffer all the same (after a line longer than a range may take).
    bool by_ranges_ = false;
    bool lines_first_ = false;
    off_t read_to_ = 0;           // the furthest any read of the file went
    std::size_t range_step_ = 0;  // bytes of a piece's range
    std::size_t range_tail_ = 0;  // bytes read past a range for its last line
    std::size_t range_most_ = 0;  // most bytes a range's reads may take
    enum class range_stop : unsigned char { none, file_end, long_line, read_error };
    struct range_buffer {
        std::unique_ptr<char[]> bytes;
        std::size_t capacity = 0;
    };
    std::vector<range_buffer> range_text_;  // one per thread
    // Each thread's frame buffers, lent in turn to the pieces it parses: a buffer comes back
    // once the sink is past its piece, so a thread's frames stay in its core's cache.
    static constexpr std::size_t range_slots = 3;
    struct range_slot {
        std::unique_ptr<double[]> frames;
        std::size_t capacity = 0;
        std::size_t piece = 0;
        bool lent = false;
    };
    std::vector<range_slot> range_slots_;  // range_slots per thread

    std::vector<piece> pieces_;
    std::vector<const double*> rows_;
    std::vector<std::size_t> piece_rows_;
    std::string marker_;       // "\n" and the segment marker; empty: none
    std::vector<segment_break> breaks_;
    std::vector<row_line> row_lines_;
    std::uint64_t line_ = 0;  // physical lines before the buffer's first byte

    // A .npy input: its layout (null for text), the record's columns, the rows handed out,
    // and for a regular file the offset of the data's first byte (the buffer keeps the data's
    // first length_ bytes, as the opening read them).
    const binary::npy_layout* npy_ = nullptr;
    std::vector<int> pick_;
    std::uint64_t npy_row_ = 0;
    off_t npy_data_at_ = 0;
    std::size_t piece_bytes_ = default_piece_bytes;
    pass_error error_;
    bool done_ = false;
    std::uint64_t blank_lines_ = 0;
    std::uint64_t blank_end_ = 0;
};

}  // namespace lagstat::passes
