#include "passes/weighted_pair_scan.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

namespace lagstat::passes {

weighted_pair_scan::weighted_pair_scan(std::size_t columns, std::vector<double> shift,
                                       std::size_t parts)
    : shift_(std::move(shift)), acc_(columns, parts) {
    if (!shift_.empty() && shift_.size() != columns)
        throw std::invalid_argument(
            "weighted_pair_scan: the shift has another length than a frame");
}

void weighted_pair_scan::fold(bool into_totals, thread_team* team) {
    acc_.begin_fold(into_totals);
    if (team != nullptr)
        team->run([this](std::size_t part) { acc_.add_part(part); });
    else
        for (std::size_t p = 0; p < acc_.parts(); ++p) acc_.add_part(p);
    acc_.end_fold();
}

namespace {

// A weight is nan or inf when its exponent bits are all set: one pass of integer tests with no
// branch per weight (which the compiler vectorises where the weights are contiguous), the weight
// named only when the pass finds one.
void check_weights(const double* w, std::size_t w_stride, std::size_t rows, const char* what) {
    constexpr std::uint64_t exponent = 0x7ff0000000000000ULL;
    auto all_set = [&](std::size_t k) {
        std::uint64_t bits;
        std::memcpy(&bits, w + k * w_stride, sizeof bits);
        return static_cast<unsigned>((bits & exponent) == exponent);
    };
    unsigned found = 0;
    std::size_t k = 0;
    for (; k + 4 <= rows; k += 4)
        found |= all_set(k) | all_set(k + 1) | all_set(k + 2) | all_set(k + 3);
    for (; k < rows; ++k) found |= all_set(k);
    if (found == 0) return;
    for (std::size_t k = 0; k < rows; ++k) {
        const double v = w[k * w_stride];
        if (!std::isfinite(v)) {
            char text[96];
            std::snprintf(text, sizeof text, "%s %zu: weight %.17g is not finite", what, k + 1, v);
            throw std::invalid_argument(text);
        }
    }
}

}  // namespace

void weighted_pair_scan::add(strided_rows x, strided_rows y, const double* w, std::size_t w_stride,
                             std::size_t rows, thread_team* team) {
    check_weights(w, w_stride, rows, "pair");
    if (rows == 0) return;
    const std::size_t n = acc_.columns();
    if (shift_.empty()) {
        shift_.resize(n);
        for (std::size_t i = 0; i < n; ++i) shift_[i] = x.data[i * x.step];
    }
    const double* const s = shift_.data();
    for (std::size_t k = 0; k < rows;) {
        const std::size_t m = std::min(rows - k, stats::weighted_block_pairs - acc_.staged());
        acc_.stage({x.row(k), x.stride, x.step}, {y.row(k), y.stride, y.step}, w + k * w_stride,
                   w_stride, m, s);
        k += m;
        if (acc_.block_full()) fold(true, team);
    }
}

const stats::weighted_sums& weighted_pair_scan::totals(thread_team* team) {
    fold(false, team);
    return acc_.snapshot();
}

using step = stats::pooled_accumulator::step;

pooled_frame_scan::pooled_frame_scan(std::size_t columns, std::vector<double> shift,
                                     std::size_t parts)
    : shift_(std::move(shift)), acc_(columns, parts) {
    if (!shift_.empty() && shift_.size() != columns)
        throw std::invalid_argument("pooled_frame_scan: the shift has another length than a frame");
}

void pooled_frame_scan::run(step s, thread_team* team) {
    acc_.begin(s);
    if (team != nullptr)
        team->run([this](std::size_t part) { acc_.add_part(part); });
    else
        for (std::size_t p = 0; p < acc_.parts(); ++p) acc_.add_part(p);
    acc_.end();
}

void pooled_frame_scan::set_shift(strided_rows x) {
    if (!shift_.empty()) return;
    shift_.resize(acc_.columns());
    for (std::size_t i = 0; i < shift_.size(); ++i) shift_[i] = x.data[i * x.step];
}

void pooled_frame_scan::add(strided_rows x, const double* w, std::size_t w_stride, std::size_t rows,
                            strided_rows e, const double* we, std::size_t we_stride,
                            std::size_t pairs, thread_team* team) {
    if (pairs > rows) throw std::invalid_argument("pooled_frame_scan: more pairs than frames");
    check_weights(w, w_stride, rows, "frame");
    check_weights(we, we_stride, pairs, "pair");
    if (rows == 0) return;
    set_shift(x);
    const std::size_t first = rows - pairs;  // frames [first, rows) have pairs
    for (std::size_t k = 0; k < rows;) {
        const std::size_t m = std::min(rows - k, acc_.room(false));
        // of these m frames, those from first on have pairs: earlier frame k' - first
        const std::size_t own = k < first ? std::min(m, first - k) : 0;
        const std::size_t j = k + own - first;  // the first pair's index among the pairs
        acc_.stage(false, {x.row(k), x.stride, x.step}, w + k * w_stride, w_stride, m, own,
                   {e.data + (own < m ? j * e.stride : 0), e.stride, e.step},
                   we + (own < m ? j * we_stride : 0), we_stride, shift_.data());
        k += m;
        if (acc_.room(false) == 0) run(step::main, team);
    }
    acc_.keep();
}

void pooled_frame_scan::pieces(strided_rows x, strided_rows e, const double* w,
                               std::size_t w_stride, std::size_t rows, step s, thread_team* team) {
    for (std::size_t k = 0; k < rows;) {
        const std::size_t m = std::min(rows - k, stats::pooled_tail_frames);
        acc_.stage(true, {x.row(k), x.stride, x.step}, nullptr, 0, m, 0,
                   {e.row(k), e.stride, e.step}, w + k * w_stride, w_stride, shift_.data());
        k += m;
        run(s, team);
    }
}

void pooled_frame_scan::end(strided_rows x, strided_rows e, const double* w, std::size_t w_stride,
                            std::size_t rows, thread_team* team) {
    check_weights(w, w_stride, rows, "pair");
    if (rows == 0) return;
    set_shift(x);
    pieces(x, e, w, w_stride, rows, step::tail, team);
}

const stats::pooled_sums& pooled_frame_scan::totals(strided_rows x, strided_rows e, const double* w,
                                                    std::size_t w_stride, std::size_t rows,
                                                    thread_team* team) {
    check_weights(w, w_stride, rows, "pair");
    if (rows != 0) {
        set_shift(x);
        pieces(x, e, w, w_stride, rows, step::provisional, team);
    }
    run(step::snapshot, team);
    return acc_.snapshot();
}

}  // namespace lagstat::passes
