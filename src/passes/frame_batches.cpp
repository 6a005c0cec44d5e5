#include "passes/frame_batches.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
#include <thread>

#include "binary/npy_decode.hpp"

namespace lagstat::passes {

struct frame_batches::piece {
    std::unique_ptr<double[]> frames;
    std::size_t capacity = 0;  // frames the buffer holds
    // The other frame buffer, holding the batch before when those frames are kept.
    std::unique_ptr<double[]> previous;
    std::size_t previous_capacity = 0;
    text::chunk_result result;
    std::size_t want = 0;      // pread: bytes of the range to read
    std::size_t got = 0;       // pread: bytes of the range read
    int read_error = 0;        // pread: errno of a failed read of the range
    // Read by ranges: what ended the batch after this piece's lines, if anything (range_error
    // the errno of a read error), and the file offset after its last line.
    range_stop stop = range_stop::none;
    int range_error = 0;
    off_t next_at = 0;
    off_t read_end = 0;  // the file offset after the last byte its reads got
    // Segment markers met (row and line counted from the piece's start) and the lines of the
    // first frames after them.
    std::vector<segment_break> breaks;
    std::vector<row_line> row_lines;
    // A .npy input's raw bytes of the piece, where they are not read straight into frames.
    std::unique_ptr<char[]> raw;
    std::size_t raw_capacity = 0;

    char* raw_room(std::size_t bytes) noexcept {
        if (raw_capacity >= bytes) return raw.get();
        raw.reset(new (std::nothrow) char[bytes]);
        raw_capacity = raw ? bytes : 0;
        return raw.get();
    }

    // Room for `most` frames, keeping the first `keep`. false when it cannot be had.
    bool reserve(std::size_t keep, std::size_t most, std::size_t stride) noexcept {
        if (capacity >= most) return true;
        if (most > std::numeric_limits<std::size_t>::max() / sizeof(double) / stride) return false;
        std::unique_ptr<double[]> bigger(new (std::nothrow) double[most * stride]);
        if (!bigger) return false;
        if (keep != 0) std::memcpy(bigger.get(), frames.get(), keep * stride * sizeof(double));
        frames = std::move(bigger);
        capacity = most;
        return true;
    }
};

namespace {

// Where a line of the span [begin, end) (which ends with '\n') starts at or after p: cut points
// of the pieces, so that each piece holds whole lines.
const char* line_start_from(const char* p, const char* begin, const char* end) {
    if (p <= begin) return begin;
    if (p >= end) return end;
    const void* nl = std::memchr(p - 1, '\n', static_cast<std::size_t>(end - (p - 1)));
    return nl == nullptr ? end : static_cast<const char*>(nl) + 1;
}

}  // namespace

frame_batches::frame_batches(text_input& in, thread_team& team, source::interrupt_check interrupted,
                             piece_hook hook, std::size_t piece_bytes)
    : in_(in),
      team_(team),
      interrupted_(interrupted),
      hook_(std::move(hook)),
      layout_(in.layout()),
      stride_(static_cast<std::size_t>(in.layout().width())),
      pieces_(team.size() == 1 ? 1 : team.size() * pieces_per_thread) {
    // The text from the first data line on, as the opening left it: the first record is the
    // first batch's first row.
    text_input::text_buffer& text = in.text();
    text_ = std::move(text.bytes);
    capacity_ = text.capacity;
    length_ = text.length;
    source_done_ = text.ended;
    text.capacity = text.length = 0;
    line_ = in.first_line() - 1;
    if (piece_bytes == 0) piece_bytes = 1;
    if (capacity_ < team.size() * piece_bytes) grow(team.size() * piece_bytes);
    // A range of less than 64 KiB is not worth waking a thread for, unless the pieces are that
    // small themselves.
    min_share_ = std::min<std::size_t>(std::size_t{1} << 16, piece_bytes);
    fd_ = in.plain_file_fd();
    if (fd_ >= 0) offset_ = read_to_ = static_cast<off_t>(in.plain_file_offset());
    piece_bytes_ = piece_bytes;
    npy_ = in.npy();
    by_ranges_ = fd_ >= 0 && npy_ == nullptr && team.size() > 1;
    if (by_ranges_) {
        range_step_ = std::max<std::size_t>(1, piece_bytes / sink_pieces_per_thread);
        range_tail_ = std::min<std::size_t>(4096, range_step_);
        range_most_ = 8 * range_step_ + range_tail_;
        range_text_.resize(team.size());
        range_slots_.resize(team.size() * range_slots);
    }
    if (npy_ != nullptr) {
        pick_ = layout_.selected();
        if (fd_ >= 0) npy_data_at_ = offset_ - static_cast<off_t>(length_);
    }
}

frame_batches::~frame_batches() = default;

void frame_batches::grow(std::size_t least) {
    // A line longer than the buffer: make room for it (a line the machine cannot hold is
    // std::bad_alloc, a MemoryError).
    if (least > std::numeric_limits<std::size_t>::max() / 2 - text::chunk_padding)
        throw std::bad_alloc();
    const std::size_t bigger = std::max(least, capacity_ * 2);
    std::unique_ptr<char[]> text(new char[bigger + 1 + text::chunk_padding]);
    std::memcpy(text.get(), text_.get(), length_);
    text_ = std::move(text);
    capacity_ = bigger;
}

void frame_batches::fill_sequential() {
    source::byte_source& src = in_.source();
    while (length_ < capacity_) {
        const long n = src.read(text_.get() + length_, capacity_ - length_);
        if (n > 0) {
            length_ += static_cast<std::size_t>(n);
            continue;
        }
        source_done_ = true;
        if (n < 0) pending_ = in_.read_error();
        break;
    }
}

void frame_batches::fill_parallel() {
    // Every thread reads its share of the free space; the bytes count up to the first share
    // that came back short (the end of the file then, or an error): a later share could only
    // have read bytes appended meanwhile, which the next fill reads again in their place.
    while (length_ < capacity_ && !source_done_) {
        const std::size_t free_bytes = capacity_ - length_;
        const std::size_t threads =
            std::min(team_.size(), std::max<std::size_t>(1, free_bytes / min_share_));
        const std::size_t share = (free_bytes + threads - 1) / threads;
        team_.run([&](std::size_t i) {
            piece& p = pieces_[i];
            p.got = 0;
            p.read_error = 0;
            if (i >= threads) return;
            const std::size_t from = std::min(free_bytes, i * share);
            p.want = std::min(free_bytes - from, share);
            char* dst = text_.get() + length_ + from;
            const off_t at = offset_ + static_cast<off_t>(from);
            while (p.got < p.want) {
                const ssize_t n =
                    ::pread(fd_, dst + p.got, p.want - p.got, at + static_cast<off_t>(p.got));
                if (n > 0) {
                    p.got += static_cast<std::size_t>(n);
                } else if (n == 0) {
                    break;
                } else if (errno != EINTR) {
                    p.read_error = errno;
                    break;
                }
            }
        });
        std::size_t valid = 0;
        bool short_read = false;
        for (std::size_t i = 0; i < threads; ++i) {
            const piece& p = pieces_[i];
            valid += p.got;
            if (p.read_error != 0) {
                pending_ = {failure::read_error, p.read_error};
                source_done_ = true;
                break;
            }
            if (p.got < p.want) {
                short_read = true;
                break;
            }
        }
        length_ += valid;
        offset_ += static_cast<off_t>(valid);
        // pread leaves the descriptor's offset alone: move it to what was read, as read(2)
        // would have, for whoever shares or watches the descriptor.
        (void)::lseek(fd_, offset_, SEEK_SET);
        if (source_done_) break;
        if (valid == 0) {
            source_done_ = true;  // read(2) would have returned 0 here: the end of the file
            break;
        }
        if (short_read) break;  // perhaps the end: the next fill asks again
    }
}

void frame_batches::fill() {
    if (source_done_ || length_ == capacity_) return;
    if (fd_ >= 0)
        fill_parallel();
    else
        fill_sequential();
}

void frame_batches::set_segment_marker(std::string marker) {
    marker_.clear();
    if (!marker.empty()) marker_ = "\n" + marker;
}

const char* frame_batches::find_marker(const char* from, const char* end) const noexcept {
    // `from` starts a line: the piece's first, or the one after a marker.
    if (marker_.empty()) return end;
    const std::size_t len = marker_.size() - 1;
    const std::size_t left = static_cast<std::size_t>(end - from);
    if (left >= len && std::memcmp(from, marker_.data() + 1, len) == 0) return from;
    const void* hit = ::memmem(from, left, marker_.data(), marker_.size());
    return hit == nullptr ? end : static_cast<const char*>(hit) + 1;
}

void frame_batches::parse_piece(std::size_t i, const char* begin, const char* end,
                                bool final_piece) {
    piece& p = pieces_[i];
    p.result = text::chunk_result{};
    p.result.resume = begin;
    p.stop = range_stop::none;
    p.range_error = 0;
    p.breaks.clear();
    p.row_lines.clear();
    if (begin == end) return;
    // A data line holds at least one byte per field and its '\n': room for that many records
    // (more on a full buffer, which only a miscount could bring).
    const std::size_t per_record_bytes = static_cast<std::size_t>(layout_.fields()) + 1;
    const bool segmented = !marker_.empty();
    std::size_t records = 0;
    std::uint64_t lines = 0;
    std::uint64_t blanks = 0;
    const char* run = begin;
    for (;;) {
        // The text up to the next marker line ends with '\n' (the marker starts a line), so it
        // parses as a span of its own.
        const char* const mark = find_marker(run, end);
        const bool final_run = final_piece && mark == end;
        const char* from = run;
        bool first = segmented;
        text::chunk_result r;
        for (;;) {
            const std::size_t most =
                records + static_cast<std::size_t>(mark - from) / per_record_bytes + 1;
            if (!p.reserve(records, most, stride_)) {
                p.result.why = text::chunk_result::stop::full;  // reported as no memory
                return;
            }
            // With segments, the run's first record alone, for its line number.
            r = text::parse_chunk(from, mark, layout_, p.frames.get() + records * stride_,
                                   stride_, first ? 1 : p.capacity - records, final_run);
            if (first && r.records != 0) p.row_lines.push_back({records, lines + r.lines});
            records += r.records;
            lines += r.lines;
            blanks += r.blank_lines;
            const bool more = r.why == text::chunk_result::stop::full &&
                              !(first && r.records == 0);
            first = false;
            if (!more) break;
            from = r.resume;
        }
        if (r.why != text::chunk_result::stop::end_of_span || mark == end) {
            p.result = r;
            p.result.records = records;
            p.result.lines = lines;
            p.result.blank_lines = blanks;
            break;
        }
        const void* nl = std::memchr(mark, '\n', static_cast<std::size_t>(end - mark));
        const char* line_end = nl == nullptr ? end : static_cast<const char*>(nl);
        const char* text_end = line_end;
        if (text_end != mark && text_end[-1] == '\r') --text_end;
        lines += 1;
        p.breaks.push_back({records, lines, std::string(mark, text_end)});
        run = nl == nullptr ? end : line_end + 1;
        if (run == end) {
            p.result = text::chunk_result{};
            p.result.records = records;
            p.result.lines = lines;
            p.result.blank_lines = blanks;
            p.result.resume = end;
            break;
        }
    }
    if (hook_ && records != 0) hook_(i, p.frames.get(), records);
}

pass_error frame_batches::refuse_cut_line() {
    // The buffer holds one line without its end. A segment marker line is no data line; nor
    // may one be, while the bytes so far are the marker's start.
    const char* const begin = text_.get();
    if (!marker_.empty()) {
        const std::size_t len = std::min(marker_.size() - 1, length_);
        if (std::memcmp(begin, marker_.data() + 1, len) == 0) return {};
    }
    text_[length_] = '\0';
    piece& p = pieces_[0];
    if (!p.reserve(0, 1, stride_)) return {failure::no_memory};
    const text::chunk_result r =
        text::parse_chunk(begin, begin + length_, layout_, p.frames.get(), stride_, 1, false);
    if (r.why != text::chunk_result::stop::bad_line) return {};
    pass_error e{failure::bad_line};
    e.line = line_ + r.lines;
    e.reason = r.error;
    return e;
}

std::size_t frame_batches::pieces() const noexcept { return pieces_.size(); }

bool frame_batches::set_frames_sink(frames_sink sink) {
    if (npy_ != nullptr) return false;
    const std::size_t per_thread = by_ranges_ ? range_pieces_per_thread : sink_pieces_per_thread;
    if (pieces_.size() > 1) pieces_.resize(team_.size() * per_thread);
    sink_parsed_.reset(new std::atomic<bool>[pieces_.size()]);
    sink_ = std::move(sink);
    return true;
}

void frame_batches::piece_parsed(std::size_t i) noexcept {
    // Whoever holds the sink hands it every parsed piece in order from sink_next_ on; a thread
    // that finds it held leaves its piece to the holder, which looks again after letting go
    // (sequentially consistent flags: either the holder sees this piece parsed, or this thread
    // sees the sink free).
    const std::size_t parts = pieces_.size();
    sink_parsed_[i].store(true);
    for (;;) {
        if (sink_held_.exchange(true)) return;
        std::size_t n = sink_next_.load(std::memory_order_relaxed);
        for (; n < parts && sink_parsed_[n].load(); ++n) {
            const piece& p = pieces_[n];
            if (sink_stopped_) continue;
            if (p.result.records != 0) sink_(p.frames.get(), p.result.records);
            if (p.result.why != text::chunk_result::stop::end_of_span || p.stop != range_stop::none)
                sink_stopped_ = true;
        }
        // Release: a thread whose frame buffer held one of these pieces may write it again.
        sink_next_.store(n, std::memory_order_release);
        sink_held_.store(false);
        if (n == parts || !sink_parsed_[n].load()) return;
    }
}

void frame_batches::run_side_job() {
    if (!side_job_) return;
    const std::function<void()> job = std::move(side_job_);
    side_job_ = nullptr;
    job();
}

void frame_batches::run_team_job(std::size_t t) {
    if (team_job_) team_job_(t);
}

bool frame_batches::next() {
    const bool more = next_batch();
    if (team_job_) {
        // No parse ran it (the end, a failure, an interruption): the team runs it alone.
        team_.run([this](std::size_t t) { run_team_job(t); });
        team_job_ = nullptr;
    }
    run_side_job();  // when no parse ran it
    return more;
}

std::uint64_t frame_batches::collect_pieces() {
    // The pieces in order: their frames, then the first stop among them (a piece read by
    // ranges may end the batch too). Returns the physical lines before the next batch.
    const std::size_t parts = pieces_.size();
    std::uint64_t lines = line_;
    breaks_.clear();
    row_lines_.clear();
    // With a sink, which has had the frames, rows() stays empty and the rows count on.
    std::size_t row_count = 0;
    for (std::size_t i = 0; i < parts && !done_; ++i) {
        const piece& p = pieces_[i];
        const std::size_t base = row_count;
        for (const segment_break& b : p.breaks)
            breaks_.push_back({base + b.row, lines + b.line, b.text});
        for (const row_line& r : p.row_lines) row_lines_.push_back({base + r.row, lines + r.line});
        if (!sink_)
            for (std::size_t k = 0; k < p.result.records; ++k)
                rows_.push_back(p.frames.get() + k * stride_);
        row_count += p.result.records;
        piece_rows_.push_back(row_count);
        blank_lines_ += p.result.blank_lines;
        const bool stopped = p.stop != range_stop::none;
        switch (p.result.why) {
            case text::chunk_result::stop::end_of_span:
                lines += p.result.lines;
                break;
            case text::chunk_result::stop::end_of_data:
                blank_end_ = lines + p.result.lines;
                done_ = true;
                break;
            case text::chunk_result::stop::bad_line:
                error_ = {failure::bad_line};
                error_.line = lines + p.result.lines;
                error_.reason = p.result.error;
                done_ = true;
                break;
            case text::chunk_result::stop::full:
                error_ = {failure::no_memory};
                done_ = true;
                break;
        }
        if (stopped && !done_) {
            if (p.stop == range_stop::read_error) {
                error_ = {failure::read_error, p.range_error};
                done_ = true;
            }
            break;
        }
    }
    while (piece_rows_.size() < parts + 1) piece_rows_.push_back(row_count);
    return lines;
}

bool frame_batches::next_batch() {
    if (done_) {
        rows_.clear();
        piece_rows_.assign(pieces_.size() + 1, 0);
        return false;
    }
    rows_.clear();
    piece_rows_.assign(1, 0);
    if (keep_previous_) {
        // The batch before stays where it is, for the team job to read while this one is made.
        for (piece& p : pieces_) {
            std::swap(p.frames, p.previous);
            std::swap(p.capacity, p.previous_capacity);
        }
    }
    if (interrupted_ != nullptr) {
        errno = 0;
        if (interrupted_()) {
            error_ = {failure::interrupted};
            done_ = true;
            return false;
        }
    }
    if (npy_ != nullptr) return next_npy_batch();
    if (by_ranges_ && !lines_first_ && sink_ && marker_.empty() && !keep_previous_ && !team_job_ &&
        !side_job_ && !source_done_)
        return next_range_batch();
    lines_first_ = false;

    // Whole lines to parse: up to the last '\n' of the buffer, or all of it once the input
    // has ended; a line longer than the buffer makes the buffer grow.
    const char* begin = text_.get();
    const char* span_end;
    bool final_span;
    for (;;) {
        fill();
        begin = text_.get();
        final_span = source_done_ && !pending_;
        const char* const end = begin + length_;
        span_end = final_span ? end : text::after_last_newline(begin, end);
        // A last line without its '\n' in a file that changed since it was opened is a line
        // still being written: not a frame.
        if (final_span && span_end != begin && end[-1] != '\n' && fd_ >= 0 &&
            in_.plain_file_changed())
            span_end = text::after_last_newline(begin, end);
        if (span_end != begin || source_done_) break;
        if (length_ == capacity_) {
            // A line longer than the buffer: refused as soon as its start shows a fault (more
            // fields than the frame, say), rather than held whole first.
            if (pass_error e = refuse_cut_line()) {
                error_ = e;
                done_ = true;
                piece_rows_.assign(pieces_.size() + 1, 0);
                return false;
            }
            grow(capacity_ + 1);
        }
    }
    if (final_span && fd_ >= 0) {
        // Shorter than any read went, pieces read by ranges and the opening's included.
        if (pass_error e = in_.check_plain_file_end(std::max(offset_, read_to_))) {
            // Shorter than what was read: what was read may be short too; nothing is kept.
            error_ = e;
            done_ = true;
            return false;
        }
    }
    // The scan's sentinel after the buffer's data. A span that stops before it ends with '\n',
    // after which the scan interprets nothing.
    text_[length_] = '\0';

    // Pieces cut at line ends, of about equal bytes.
    const std::size_t parts = pieces_.size();
    const std::size_t span = static_cast<std::size_t>(span_end - begin);
    std::vector<const char*> cuts(parts + 1);
    cuts[0] = begin;
    for (std::size_t i = 1; i < parts; ++i)
        cuts[i] = std::max(cuts[i - 1], line_start_from(begin + span * i / parts, begin, span_end));
    cuts[parts] = span_end;
    // The threads take the pieces in turn, several each, so that one slowed down (by the side
    // job, or by other work on its core) leaves more of them to the others. The piece that ends
    // at the span's end parses it as final (a last line without its '\n' is a frame there): not
    // always the last piece, since a last line longer than the pieces leaves the later ones empty.
    if (sink_) {
        for (std::size_t i = 0; i < parts; ++i) sink_parsed_[i].store(false);
        sink_next_.store(0);
        sink_stopped_ = false;
    }
    std::atomic<std::size_t> next_piece{0};
    team_.run([&](std::size_t t) {
        run_team_job(t);
        if (t == 0) run_side_job();
        for (std::size_t i; (i = next_piece.fetch_add(1, std::memory_order_relaxed)) < parts;) {
            parse_piece(i, cuts[i], cuts[i + 1], final_span && cuts[i + 1] == span_end);
            if (sink_) piece_parsed(i);
        }
    });
    team_job_ = nullptr;

    const std::uint64_t lines = collect_pieces();
    if (done_) return true;
    line_ = lines;

    // The cut last line goes to the front, to be completed by the next fill.
    const std::size_t rest = length_ - span;
    std::memmove(text_.get(), span_end, rest);
    length_ = rest;
    if (pending_) {
        // The read error comes after every whole line before it, also when those lines end
        // exactly where the bytes stopped (which is not the end of the data).
        error_ = pending_;
        done_ = true;
    } else if (final_span || (source_done_ && rest == 0)) {
        done_ = true;
    }
    return true;
}

// ---- batches read by ranges ------------------------------------------------------------------
//
// With a frames sink and several threads, a regular plain file is read by the threads that parse
// it: each piece is a range of the file's bytes, which the thread taking it reads into a buffer
// of its own and parses at once, so that the text is parsed from that core's cache and the copy
// from the page cache overlaps the other threads' parsing, rather than taking a round of its own
// before every batch (both threads copying at once take about as long as one). A piece parses
// the lines that start in its range, reading on past its end for the last one, so the pieces of
// a batch hold every line once, in order; its frames go to a buffer its thread lends it, which
// the thread takes back for a later piece once the sink has had them, so that they too stay in
// that core's cache. The file's end, and a line longer than a piece may read on for, go to the
// batches above, which fill the shared buffer first (from the file's end on, for the rest).

void frame_batches::parse_range_piece(std::size_t i, std::size_t t, off_t a, off_t b, bool first) {
    piece& p = pieces_[i];
    range_buffer& buf = range_text_[t];
    // From the byte before the range: a line starts at a when that byte is '\n'.
    const off_t from = first ? a : a - 1;
    const std::size_t range = static_cast<std::size_t>(b - from);
    std::size_t want = range + range_tail_;
    std::size_t got = 0;
    // The bytes end after got: the file's end, or a read that failed there (error, its errno),
    // whose whole lines before it count as a short file's would.
    bool eof = false;
    int error = 0;
    // Reads on to want bytes in all, or to where the bytes end; false when the buffer cannot
    // grow.
    auto read_on = [&]() -> bool {
        if (buf.capacity < want) {
            std::unique_ptr<char[]> bigger(new (std::nothrow) char[want + 1 + text::chunk_padding]);
            if (!bigger) return false;
            if (got != 0) std::memcpy(bigger.get(), buf.bytes.get(), got);
            buf.bytes = std::move(bigger);
            buf.capacity = want;
        }
        while (got < want && !eof) {
            const ssize_t n =
                ::pread(fd_, buf.bytes.get() + got, want - got, from + static_cast<off_t>(got));
            if (n > 0) {
                got += static_cast<std::size_t>(n);
            } else if (n == 0) {
                eof = true;
            } else if (errno != EINTR) {
                error = errno;
                eof = true;
            }
        }
        return true;
    };
    // Parses the whole lines [begin, end) of the buffer; with a stop, the batch ends after them.
    auto finish = [&](std::size_t begin, std::size_t end, range_stop stop) {
        parse_piece(i, buf.bytes.get() + begin, buf.bytes.get() + end, false);
        p.stop = stop;
        p.range_error = error;
        p.next_at = from + static_cast<off_t>(end);
        p.read_end = got == 0 ? 0 : from + static_cast<off_t>(got);
    };
    auto whole_lines_to = [&](std::size_t begin, std::size_t end) {
        const char* const base = buf.bytes.get();
        return static_cast<std::size_t>(text::after_last_newline(base + begin, base + end) - base);
    };
    if (!read_on()) {
        finish(0, 0, range_stop::long_line);
        p.next_at = a;
        return;
    }
    auto ended = [&] { return error != 0 ? range_stop::read_error : range_stop::file_end; };
    std::size_t begin = 0;
    if (!first) {
        const char* const base = buf.bytes.get();
        const void* nl = std::memchr(base, '\n', std::min(got, range - 1));
        if (nl == nullptr) {
            // No line starts in the range: it lies inside a line of an earlier piece (or after
            // the bytes' end, which that piece meets first).
            finish(0, 0, got < range ? ended() : range_stop::none);
            p.next_at = a;
            return;
        }
        begin = static_cast<std::size_t>(static_cast<const char*>(nl) - base) + 1;
    }
    if (got < range) {
        // The bytes end inside the range: its whole lines here, then the file's end (or the
        // error) as the batches that fill the shared buffer take it.
        finish(begin, whole_lines_to(begin, got), ended());
        return;
    }
    // The last line is the one that holds the range's last byte: to its '\n', reading on.
    for (std::size_t searched = range - 1;;) {
        const char* const base = buf.bytes.get();
        const void* nl = std::memchr(base + searched, '\n', got - searched);
        if (nl != nullptr) {
            const std::size_t end = static_cast<std::size_t>(static_cast<const char*>(nl) - base);
            finish(begin, end + 1, range_stop::none);
            return;
        }
        const std::size_t before = whole_lines_to(begin, range - 1);
        if (eof) {
            finish(begin, before, ended());
            return;
        }
        if (got >= range_most_) {
            finish(begin, before, range_stop::long_line);
            return;
        }
        searched = got;
        want = std::min(range_most_, std::max(want * 2, got + 1));
        if (!read_on()) {
            finish(begin, before, range_stop::long_line);
            return;
        }
    }
}

void frame_batches::lend_slot(range_slot& slot, std::size_t i) noexcept {
    piece& p = pieces_[i];
    std::swap(p.frames, slot.frames);
    std::swap(p.capacity, slot.capacity);
    slot.piece = i;
    slot.lent = true;
}

void frame_batches::take_back(range_slot& slot) noexcept {
    if (!slot.lent) return;
    piece& p = pieces_[slot.piece];
    std::swap(p.frames, slot.frames);
    std::swap(p.capacity, slot.capacity);
    slot.lent = false;
}

bool frame_batches::next_range_batch() {
    // The first line not parsed yet: where the bytes left in the buffer came from.
    const off_t pos = offset_ - static_cast<off_t>(length_);
    length_ = 0;
    const std::size_t parts = pieces_.size();
    for (std::size_t i = 0; i < parts; ++i) sink_parsed_[i].store(false);
    sink_next_.store(0);
    sink_stopped_ = false;
    std::atomic<std::size_t> next_piece{0};
    team_.run([&](std::size_t t) {
        range_slot* const slots = &range_slots_[t * range_slots];
        std::size_t turn = 0;
        for (std::size_t i; (i = next_piece.fetch_add(1, std::memory_order_relaxed)) < parts;) {
            range_slot& slot = slots[turn++ % range_slots];
            if (slot.lent) {
                // Its piece came before this one, so the sink gets past it: the pieces between
                // are taken by threads that wait on none of this thread's.
                while (sink_next_.load(std::memory_order_acquire) <= slot.piece)
                    std::this_thread::yield();
                take_back(slot);
            }
            lend_slot(slot, i);
            const off_t a = pos + static_cast<off_t>(range_step_ * i);
            parse_range_piece(i, t, a, a + static_cast<off_t>(range_step_), i == 0);
            piece_parsed(i);
        }
    });
    for (range_slot& slot : range_slots_) take_back(slot);
    // Every piece's reads count, those after a stop too: bytes read once, of a file that is
    // shorter at its end, may have been short.
    for (const piece& p : pieces_) read_to_ = std::max(read_to_, p.read_end);
    const std::uint64_t lines = collect_pieces();
    if (done_) return true;
    line_ = lines;
    // The next batch starts after the last line parsed (a long line may have taken later
    // pieces' ranges). After a piece that stopped the batch, the batches that fill the shared
    // buffer read the rest from the file's end on, or one batch from a line longer than a
    // range may take.
    off_t next = pos;
    for (const piece& p : pieces_) {
        next = std::max(next, p.next_at);
        if (p.stop == range_stop::file_end) by_ranges_ = false;
        if (p.stop != range_stop::none) {
            lines_first_ = true;
            break;
        }
    }
    offset_ = next;
    // The descriptor's offset: how far the reads went, as for the shared buffer's.
    (void)::lseek(fd_, read_to_, SEEK_SET);
    return true;
}

// ---- .npy input ------------------------------------------------------------------------------

bool frame_batches::read_npy_range(char* dst, std::uint64_t from, std::size_t bytes,
                                   int& err) const noexcept {
    // The data's first bytes are in the buffer, as the opening read them; the rest is in the file.
    std::size_t done = 0;
    if (from < length_) {
        done = std::min<std::size_t>(bytes, length_ - static_cast<std::size_t>(from));
        std::memcpy(dst, text_.get() + from, done);
    }
    while (done < bytes) {
        const ssize_t n =
            ::pread(fd_, dst + done, bytes - done, npy_data_at_ + static_cast<off_t>(from + done));
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n == 0) {
            err = 0;  // the file is shorter than it was when opened
            return false;
        } else if (errno != EINTR) {
            err = errno;
            return false;
        }
    }
    return true;
}

void frame_batches::decode_npy_piece(std::size_t i, std::uint64_t first_row, std::size_t count) {
    const binary::npy_layout& l = *npy_;
    piece& p = pieces_[i];
    p.result = text::chunk_result{};
    p.read_error = 0;
    p.breaks.clear();
    p.row_lines.clear();
    if (count == 0) return;
    if (!p.reserve(0, count, stride_)) {
        p.result.why = text::chunk_result::stop::full;  // reported as no memory
        return;
    }
    double* const frames = p.frames.get();
    const int* const pick = pick_.empty() ? nullptr : pick_.data();
    const std::size_t row_bytes = static_cast<std::size_t>(l.row_bytes());
    int err = 0;
    bool ok = true;
    if (fd_ < 0) {
        // Rows of the buffer the calling thread filled, from the batch's first row on.
        const std::size_t at = static_cast<std::size_t>(first_row - npy_row_) * row_bytes;
        binary::decode_rows(l, text_.get() + at, count, pick, stride_, frames, stride_);
    } else if (!l.by_columns()) {
        if (l.native_double() && pick == nullptr) {
            // The file's bytes are the frames.
            ok = read_npy_range(reinterpret_cast<char*>(frames), first_row * row_bytes,
                                count * row_bytes, err);
        } else if (char* raw = p.raw_room(count * row_bytes); raw == nullptr) {
            p.result.why = text::chunk_result::stop::full;
            return;
        } else if ((ok = read_npy_range(raw, first_row * row_bytes, count * row_bytes, err))) {
            binary::decode_rows(l, raw, count, pick, stride_, frames, stride_);
        }
    } else {
        // Column after column: each selected one's run of the piece's rows.
        char* raw = p.raw_room(count * l.item_bytes);
        if (raw == nullptr) {
            p.result.why = text::chunk_result::stop::full;
            return;
        }
        for (std::size_t j = 0; j < stride_ && ok; ++j) {
            const std::uint64_t column = pick == nullptr ? j : static_cast<std::uint64_t>(pick[j]);
            ok = read_npy_range(raw, (column * l.rows + first_row) * l.item_bytes,
                                count * l.item_bytes, err);
            if (ok) binary::decode_column(l, raw, count, frames + j, stride_);
        }
    }
    if (!ok) {
        p.read_error = err == 0 ? -1 : err;
        return;
    }
    p.result.records = count;
    if (hook_) hook_(i, frames, count);
}

bool frame_batches::next_npy_batch() {
    const binary::npy_layout& l = *npy_;
    const std::size_t parts = pieces_.size();
    const std::size_t row_bytes = static_cast<std::size_t>(l.row_bytes());
    // About piece_bytes of rows, or of their frames where those are larger, per thread.
    const std::size_t frame_bytes = std::max(row_bytes, stride_ * sizeof(double));
    std::size_t batch = std::max<std::size_t>(1, team_.size() * piece_bytes_ / frame_bytes);
    if (batch > l.rows - npy_row_) batch = static_cast<std::size_t>(l.rows - npy_row_);
    pass_error after;  // comes after the batch's frames
    if (fd_ < 0) {
        // The buffer grows only as the bytes come, so that a header promising more than the
        // input holds costs no more memory than the input.
        const std::size_t need = batch * row_bytes;
        while (length_ < need && !source_done_) {
            if (length_ == capacity_) grow(std::min(need, capacity_ * 2));
            fill_sequential();
        }
        if (length_ < need) {
            batch = length_ / row_bytes;
            after = pending_ ? pending_
                             : pass_error{failure::read_error, EIO,
                                          "The data are shorter than the .npy header says"};
        }
    }
    std::atomic<std::size_t> next_piece{0};
    team_.run([&](std::size_t t) {
        run_team_job(t);
        if (t == 0) run_side_job();
        for (std::size_t i; (i = next_piece.fetch_add(1, std::memory_order_relaxed)) < parts;) {
            const std::size_t from = batch * i / parts, to = batch * (i + 1) / parts;
            decode_npy_piece(i, npy_row_ + from, to - from);
        }
    });
    team_job_ = nullptr;
    breaks_.clear();
    row_lines_.clear();
    for (std::size_t i = 0; i < parts; ++i) {
        const piece& p = pieces_[i];
        if (p.read_error != 0 || p.result.why == text::chunk_result::stop::full) {
            // A regular file that lost bytes under the pass: the batch's frames are not kept.
            if (p.result.why == text::chunk_result::stop::full)
                error_ = {failure::no_memory};
            else if (p.read_error < 0)
                error_ = {failure::read_error, EIO, "The file became shorter while it was read"};
            else
                error_ = {failure::read_error, p.read_error};
            done_ = true;
            rows_.clear();
            piece_rows_.assign(parts + 1, 0);
            return false;
        }
    }
    for (std::size_t i = 0; i < parts; ++i) {
        const piece& p = pieces_[i];
        for (std::size_t k = 0; k < p.result.records; ++k)
            rows_.push_back(p.frames.get() + k * stride_);
        piece_rows_.push_back(rows_.size());
    }
    npy_row_ += batch;
    // pread leaves the descriptor's offset alone: move it past the rows read, as read(2)
    // would have, for whoever shares or watches the descriptor.
    if (fd_ >= 0 && !l.by_columns())
        (void)::lseek(fd_, npy_data_at_ + static_cast<off_t>(npy_row_ * row_bytes), SEEK_SET);
    if (fd_ < 0) {
        const std::size_t used = batch * row_bytes;
        std::memmove(text_.get(), text_.get() + used, length_ - used);
        length_ -= used;
    }
    if (after) {
        error_ = after;
        done_ = true;
    } else if (npy_row_ == l.rows) {
        done_ = true;
    }
    return true;
}

}  // namespace lagstat::passes
