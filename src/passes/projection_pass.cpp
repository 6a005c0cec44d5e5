#include "passes/projection_pass.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "output/format.hpp"
#include "output/output_sink.hpp"
#include "passes/file_identity.hpp"
#include "passes/frame_batches.hpp"
#include "projection/project.hpp"

namespace lagstat::passes {

namespace {

// Opening the output truncates it: never when it is a file the pass still has to read, be it
// the input or a memory-mapped array (numpy.memmap) behind mean or weights.
const char* output_clash(const projection_job& job) {
    file_id out;
    if (!regular_file_id(job.output_path, out)) return nullptr;
    file_id in;
    if (regular_file_id(job.input_path, in) && in.dev == out.dev && in.ino == out.ino)
        return "Input and output are the same file";
    if (memory_maps_file(job.mean, job.mean_bytes, out)) return "Output is the file behind mean";
    if (memory_maps_file(job.weights, job.weights_bytes, out))
        return "Output is the file behind weights";
    return nullptr;
}

/// The text of one piece's lines, made by the thread that parsed them.
class piece_text {
public:
    /// Appends the lines of count records (stride doubles apart). false when memory runs out.
    bool format(const projection_job& job, const double* records, std::size_t stride,
                std::size_t count) noexcept {
        length_ = 0;
        const std::size_t n = job.n, nproj = job.max_proj, tc = job.time_column ? 1 : 0;
        // The projections of a block of lines, then their text in one call, which formats
        // several values at a time across the lines' ends.
        constexpr std::size_t block_lines = 64;
        if (x_size_ < n + block_lines * nproj) {
            x_.reset(new (std::nothrow) double[n + block_lines * nproj]);
            if (!x_) return false;
            x_size_ = n + block_lines * nproj;
        }
        double* const x = x_.get();
        double* const y = x + n;
        for (std::size_t first = 0; first < count; first += block_lines) {
            const std::size_t lines = std::min(block_lines, count - first);
            for (std::size_t k = 0; k < lines; ++k) {
                const double* rec = records + (first + k) * stride;
                for (std::size_t i = 0; i < n; ++i) x[i] = rec[i + tc] - job.mean[i];
                projection::project(x, job.weights, n, nproj, y + k * nproj);
            }
            if (!reserve(output::fixed6_lines_room(lines * nproj))) return false;
            char* const p = text_.get() + length_;
            length_ = static_cast<std::size_t>(
                output::format_fixed6_lines(y, lines * nproj, nproj, p) - text_.get());
        }
        return true;
    }
    const char* data() const noexcept { return text_.get(); }
    std::size_t size() const noexcept { return length_; }

private:
    bool reserve(std::size_t more) noexcept {
        if (capacity_ - length_ >= more) return true;
        const std::size_t want = std::max(capacity_ * 2, length_ + more);
        std::unique_ptr<char[]> bigger(new (std::nothrow) char[want]);
        if (!bigger) return false;
        if (length_ != 0) std::memcpy(bigger.get(), text_.get(), length_);
        text_ = std::move(bigger);
        capacity_ = want;
        return true;
    }

    std::unique_ptr<char[]> text_;
    std::size_t capacity_ = 0, length_ = 0;
    std::unique_ptr<double[]> x_;
    std::size_t x_size_ = 0;
};

}  // namespace

pass_error project_frames(text_input& in, const projection_job& job, thread_team& team,
                          std::uint64_t* frames, std::size_t piece_bytes) try {
    if (const char* clash = output_clash(job)) return {failure::same_file, EINVAL, clash};
    const std::size_t stride = static_cast<std::size_t>(in.layout().width());

    output::output_sink out;
    if (const int err = out.open(job.output_path, output::output_sink::default_buffer_size,
                                 job.interrupted);
        err != 0)
        return err == EINTR ? pass_error{failure::interrupted} : pass_error{failure::open_output, err};
    auto write_failed = [&out] {
        const int err = out.error_number();
        return err == EINTR ? pass_error{failure::interrupted} : pass_error{failure::write_output, err};
    };

    std::uint64_t written = 0;
    // Two sets of piece texts: the threads format a batch into one while the batch before is
    // written from the other (by the calling thread as the side job of the parse, or by ranges),
    // so that the write no longer leaves the other threads waiting.
    std::atomic<bool> formatted{true};
    std::vector<piece_text> texts[2];
    int current = 0;
    frame_batches batches(
        in, team, job.interrupted,
        [&](std::size_t piece, double* records, std::size_t count) {
            if (!texts[current][piece].format(job, records, stride, count))
                formatted.store(false, std::memory_order_relaxed);
        },
        piece_bytes);
    texts[0].resize(batches.pieces());
    texts[1].resize(batches.pieces());
    std::vector<std::size_t> unwritten;  // the piece bounds of the batch still to write
    bool write_ok = true;
    auto write_batch = [&] {
        const std::vector<piece_text>& t = texts[current ^ 1];
        for (std::size_t i = 0; i + 1 < unwritten.size() && write_ok; ++i) {
            if (unwritten[i + 1] == unwritten[i]) continue;  // nothing of this piece counts
            if (!out.write(t[i].data(), t[i].size())) write_ok = false;
            else written += unwritten[i + 1] - unwritten[i];
        }
        unwritten.clear();
    };
    // A regular file is written by ranges instead: once a batch's texts are made, each piece's
    // offset is known, and during the next parse every thread writes pieces of it (taken in
    // turn) before it parses, so that the write is no one thread's alone.
    const bool by_ranges = out.positional();
    off_t file_end = 0;  // the end of the ranges in the file
    if (by_ranges && (file_end = out.begin_ranges()) < 0) return write_failed();
    struct range {
        off_t at = 0;
        std::size_t done = 0;
        int error = 0;
    };
    std::vector<range> ranges(batches.pieces());
    std::atomic<std::size_t> next_range{0};
    auto write_ranges = [&](std::size_t) {
        const std::vector<piece_text>& t = texts[current ^ 1];
        for (std::size_t i;
             (i = next_range.fetch_add(1, std::memory_order_relaxed)) + 1 < unwritten.size();) {
            if (unwritten[i + 1] == unwritten[i]) continue;
            ranges[i].error =
                out.write_range(t[i].data(), t[i].size(), ranges[i].at, &ranges[i].done);
        }
    };
    auto place_ranges = [&] {
        const std::vector<piece_text>& t = texts[current ^ 1];
        off_t at = file_end;
        for (std::size_t i = 0; i + 1 < unwritten.size(); ++i) {
            if (unwritten[i + 1] == unwritten[i]) continue;
            ranges[i] = {at, 0, 0};
            at += static_cast<off_t>(t[i].size());
        }
        next_range.store(0, std::memory_order_relaxed);
    };
    // On the calling thread, after the parse: the batch's lines count up to the first range
    // that failed, in file order, as they would have written one after the other.
    auto end_ranges = [&] {
        const std::vector<piece_text>& t = texts[current ^ 1];
        for (std::size_t i = 0; i + 1 < unwritten.size(); ++i) {
            if (unwritten[i + 1] == unwritten[i]) continue;
            const range& r = ranges[i];
            if (r.error != 0) {
                write_ok = out.range_failed(r.at, t[i].data(), r.done, r.error);
                break;
            }
            written += unwritten[i + 1] - unwritten[i];
            file_end = r.at + static_cast<off_t>(t[i].size());
        }
        if (write_ok) out.ranges_written(file_end);
        unwritten.clear();
    };
    for (;;) {
        const bool writing = !unwritten.empty();
        if (writing && by_ranges) {
            place_ranges();
            batches.set_team_job(write_ranges);
        } else if (writing) {
            batches.set_side_job(write_batch);
        }
        const bool more = batches.next();
        if (writing && by_ranges) end_ranges();
        if (!write_ok) return write_failed();
        if (!more) break;
        if (!formatted) return {failure::no_memory};
        unwritten = batches.piece_rows();
        current ^= 1;
    }
    if (frames != nullptr) *frames = written;
    if (pass_error e = batches.error()) return in.explain(e);  // the lines before the failure stay
    if (pass_error e = in.check_rest()) return e;
    if (!out.close()) return write_failed();
    return {};
} catch (const std::bad_alloc&) {
    return {failure::no_memory};
}

}  // namespace lagstat::passes
