#include "passes/array_scan.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <utility>

namespace lagstat::passes {

namespace {

// As scan_lags: the accumulator copies a pointer per frame of a block.
constexpr std::size_t block_rows = 4096;
constexpr double no_time = std::numeric_limits<double>::quiet_NaN();

}  // namespace

array_scan::array_scan(std::size_t columns, const std::vector<std::size_t>& lags,
                       std::vector<double> shift, std::size_t parts)
    : n_(columns), shift_(std::move(shift)), acc_(columns, lags, parts) {
    if (!shift_.empty() && shift_.size() != n_)
        throw std::invalid_argument("array_scan: the shift has another length than a frame");
    current_.first_time = current_.last_time = no_time;
}

void array_scan::add(const double* data, std::size_t rows, std::size_t stride, std::size_t step,
                     thread_team* team) {
    if (rows == 0) return;
    if (shift_.empty()) {
        shift_.resize(n_);
        for (std::size_t i = 0; i < n_; ++i) shift_[i] = data[i * step];
    }
    // The workspace grows to the largest block seen, up to block_rows frames.
    const std::size_t want = std::min(rows, block_rows) * n_;
    if (centred_.size() < want) centred_.resize(want);
    const std::size_t room = centred_.size() / n_;
    if (current_.frames == 0) current_.first_line = frames_ + 1;
    const double* const s = shift_.data();
    for (std::size_t at = 0; at < rows; at += room) {
        const std::size_t m = std::min(room, rows - at);
        rows_.resize(m);
        for (std::size_t k = 0; k < m; ++k) {
            const double* x = data + (at + k) * stride;
            double* y = centred_.data() + k * n_;
            for (std::size_t i = 0; i < n_; ++i) y[i] = x[i * step] - s[i];
            rows_[k] = y;
        }
        acc_.begin_block(rows_.data(), m);
        if (team != nullptr)
            team->run([this](std::size_t part) { acc_.add_part(part); });
        else
            for (std::size_t p = 0; p < acc_.parts(); ++p) acc_.add_part(p);
        acc_.end_block();
    }
    frames_ += rows;
    current_.frames += rows;
}

void array_scan::end_trajectory(thread_team* team) {
    if (current_.frames == 0) return;
    acc_.begin_segment_end();
    if (team != nullptr)
        team->run([this](std::size_t part) { acc_.add_part(part); });
    else
        for (std::size_t p = 0; p < acc_.parts(); ++p) acc_.add_part(p);
    acc_.end_segment_end();
    segments_.push_back(current_);
    current_ = segment_info{};
    current_.after_marker = true;
    current_.first_time = current_.last_time = no_time;
}

void array_scan::describe(lag_scan_result& result, bool with_current) const {
    result.shift = shift_;
    if (result.shift.empty()) result.shift.assign(n_, 0.0);
    result.segments = segments_;
    if (with_current && current_.frames != 0) result.segments.push_back(current_);
    for (segment_info& s : result.segments) s.after_marker = false;
    result.dt = no_time;
}

stats::lag_sums array_scan::snapshot(lag_scan_result& result) {
    describe(result, true);
    return acc_.sums_if_ended();
}

stats::lag_sums array_scan::finish(lag_scan_result& result) {
    end_trajectory(nullptr);
    describe(result, false);
    acc_.finish();
    return std::move(acc_.sums());
}

}  // namespace lagstat::passes
