#include "passes/weighted_pair_scan.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
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

void weighted_pair_scan::add(strided_rows x, strided_rows y, const double* w, std::size_t w_stride,
                             std::size_t rows, thread_team* team) {
    // v - v is 0 for a finite v and nan otherwise: one pass with no branch per weight (which
    // the compiler vectorises), the weight named only when the pass finds one.
    bool finite = true;
    for (std::size_t k = 0; k < rows; ++k) finite &= w[k * w_stride] - w[k * w_stride] == 0.0;
    if (!finite) {
        for (std::size_t k = 0; k < rows; ++k) {
            const double v = w[k * w_stride];
            if (!std::isfinite(v)) {
                char text[96];
                std::snprintf(text, sizeof text, "pair %zu: weight %.17g is not finite", k + 1, v);
                throw std::invalid_argument(text);
            }
        }
    }
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

}  // namespace lagstat::passes
