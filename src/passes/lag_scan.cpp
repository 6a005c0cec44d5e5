#include "passes/lag_scan.hpp"

#include <algorithm>
#include <atomic>
#include <limits>
#include <new>

#include "passes/frame_batches.hpp"

namespace lagstat::passes {

scan_fields plan_scan_fields(const text::text_options& options, const long long* time_field) {
    scan_fields f;
    f.options = options;
    f.columns = options.usecols.size();
    if (time_field == nullptr) return f;
    f.timed = true;
    f.time_field = *time_field;
    const std::vector<long long>& cols = options.usecols;
    if (cols.empty()) return f;
    for (std::size_t i = 0; i < cols.size(); ++i) {
        if (cols[i] == f.time_field) {
            f.time_slot = static_cast<int>(i);
            return f;
        }
    }
    f.time_slot = static_cast<int>(cols.size());
    f.options.usecols.push_back(f.time_field);
    return f;
}

bool resolve_scan_fields(scan_fields& f, int reader_columns, long long fields) noexcept {
    if (f.columns != 0) return true;  // usecols: settled before the input was opened
    f.columns = static_cast<std::size_t>(reader_columns);
    if (!f.timed) return true;
    const long long slot = f.time_field < 0 ? f.time_field + fields : f.time_field;
    if (slot < 0 || slot >= fields) return false;
    f.time_slot = static_cast<int>(slot);
    return true;
}

namespace {

constexpr double no_time = std::numeric_limits<double>::quiet_NaN();
constexpr std::size_t block_rows = 4096;

// The raw time of every frame of the batch, kept per piece by the parsing threads before they
// centre the frames (the time may be one of the frame's own columns).
class batch_times {
public:
    explicit batch_times(int slot) : slot_(slot) {}
    // One list of times per piece of a batch: as many as the batches cut.
    void set_pieces(std::size_t pieces) { times_.resize(pieces); }
    bool active() const noexcept { return slot_ >= 0; }
    // On a parsing thread, which must not throw: a failed allocation is noted instead.
    void keep(std::size_t piece, const double* frames, std::size_t count,
              std::size_t stride) noexcept {
        std::vector<double>& t = times_[piece];
        try {
            t.resize(count);
        } catch (const std::bad_alloc&) {
            t.clear();
            failed_ = true;
            return;
        }
        for (std::size_t k = 0; k < count; ++k)
            t[k] = frames[k * stride + static_cast<std::size_t>(slot_)];
    }
    bool failed() const noexcept { return failed_; }
    double at(const frame_batches& batches, std::size_t row) const {
        if (!active()) return no_time;
        const std::vector<std::size_t>& starts = batches.piece_rows();
        const std::size_t piece =
            static_cast<std::size_t>(std::upper_bound(starts.begin(), starts.end(), row) -
                                     starts.begin()) -
            1;
        return times_[piece][row - starts[piece]];
    }

private:
    int slot_;
    std::vector<std::vector<double>> times_;
    std::atomic<bool> failed_{false};
};

}  // namespace

pass_error scan_lags(text_input& in, const lag_scan_request& request, stats::lag_accumulator& acc,
                     thread_team& team, source::interrupt_check interrupted,
                     lag_scan_result& result) try {
    const std::size_t n = request.columns;
    result.shift = request.shift;
    if (result.shift.empty()) {
        // The first frame, parsed from the opening's text before the batches parse it again.
        if (!in.first_record(result.shift)) return {failure::no_memory};
        result.shift.resize(n);
    }
    const double* const s = result.shift.data();
    result.segments.clear();
    result.dt = no_time;

    segment_info current;
    current.first_line = in.first_line();

    batch_times times(request.time_slot);
    frame_batches batches(in, team, interrupted,
                          [&times, s, n, stride = static_cast<std::size_t>(in.layout().width())](
                              std::size_t piece, double* frames, std::size_t count) {
                              if (times.active()) times.keep(piece, frames, count, stride);
                              for (std::size_t k = 0; k < count; ++k) {
                                  double* x = frames + k * stride;
                                  for (std::size_t i = 0; i < n; ++i) x[i] = x[i] - s[i];
                              }
                          });
    times.set_pieces(batches.pieces());
    if (!request.segment_marker.empty()) batches.set_segment_marker(request.segment_marker);

    auto close_segment = [&]() {
        if (current.frames == 0) return;
        acc.begin_segment_end();
        team.run([&acc](std::size_t part) { acc.add_part(part); });
        acc.end_segment_end();
        result.segments.push_back(current);
    };
    while (batches.next()) {
        if (times.failed()) return {failure::no_memory};
        const std::vector<const double*>& rows = batches.rows();
        const std::vector<frame_batches::segment_break>& breaks = batches.breaks();
        const std::vector<frame_batches::row_line>& lines = batches.row_lines();
        std::size_t from = 0;
        for (std::size_t b = 0; b <= breaks.size(); ++b) {
            const std::size_t to = b < breaks.size() ? breaks[b].row : rows.size();
            if (to > from) {
                if (current.frames == 0) {
                    // A segment's first frame starts a run of text (after its marker, or the
                    // input's first data line), whose line the batches keep.
                    const auto line = std::find_if(lines.begin(), lines.end(),
                                                   [from](const auto& r) { return r.row == from; });
                    if (line != lines.end()) current.first_line = line->line;
                    current.first_time = times.at(batches, from);
                }
                // The time step: the first segment's second frame's time after its first.
                if (result.segments.empty() && current.frames < 2 &&
                    current.frames + (to - from) >= 2)
                    result.dt = times.at(batches, from + 1 - current.frames) - current.first_time;
                // Blocks of at most block_rows frames: the accumulator copies a pointer per frame
                // of the block, which a whole batch of short lines would make large.
                for (std::size_t at = from; at < to; at += block_rows) {
                    acc.begin_block(rows.data() + at, std::min(block_rows, to - at));
                    team.run([&acc](std::size_t part) { acc.add_part(part); });
                    acc.end_block();
                }
                current.frames += to - from;
                current.last_time = times.at(batches, to - 1);
            }
            if (b == breaks.size()) break;
            close_segment();
            current = segment_info{};
            current.after_marker = true;
            current.marker = breaks[b].text;
            current.first_time = current.last_time = no_time;
            from = to;
        }
    }
    if (pass_error e = batches.error()) return in.explain(e);
    if (pass_error e = in.check_rest()) return e;
    result.blank_lines = batches.blank_lines();
    result.blank_end = batches.blank_end();
    close_segment();
    acc.finish();
    return {};
} catch (const std::bad_alloc&) {
    return {failure::no_memory};
}

}  // namespace lagstat::passes
