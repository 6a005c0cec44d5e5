// Weighted sums of lagged pairs (x_t, y_t = x_{t+lag}), pair t carrying the weight w_t of its
// earlier frame, summed so that they are the same bits for any thread count and any way the
// pairs arrive, and accurate to about one rounding per block of pairs rather than one per pair.
//
// The order of operations, which fixes the bits:
//   - products: wx = w * x and wy = w * y rounded element by element, then
//     sxx_ij += wx_i * x_j, syy_ij += wy_i * y_j (j >= i, mirrored at the end),
//     sxy_ij += wx_i * y_j, sx_i += wx_i, sy_i += wy_i, sw += w;
//   - blocks: pairs are grouped in blocks of block_pairs by their index among all pairs added;
//     a block's sums start at zero and receive its pairs one at a time in pair order;
//   - totals: each block's sum b is folded into a pair (hi, lo) by Knuth's two-sum:
//     s = hi + b, e = (hi - (s - (s - hi))) + (b - (s - hi)), hi = s, lo = lo + e;
//     the result is hi + lo, the pairs of a last partial block folded in the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "stats/kernel_dispatch.hpp"

namespace lagstat::stats {

/// Pairs per block: enough that a block's kernels run long strides, few enough that a block's
/// plain sum adds few roundings.
constexpr std::size_t weighted_block_pairs = 1024;

/// The totals: sxx, syy and sxy are n x n row-major (sxx and syy symmetric).
struct weighted_sums {
    std::size_t n = 0;
    std::uint64_t pairs = 0;
    double w = 0.0;
    std::vector<double> sx, sy, sxx, syy, sxy;
};

/// The block kernels over weighted pairs. The caller stages up to weighted_block_pairs pairs
/// with stage(), which takes off the shift; when a block is full (or for a look at the totals)
/// it runs begin_fold(), add_part(p) for every p (any order, any thread), end_fold(). Threads
/// split the elements: each element still receives its pairs in pair order.
class weighted_accumulator {
public:
    /// Throws std::invalid_argument for n == 0 or parts == 0, std::bad_alloc.
    weighted_accumulator(std::size_t n, std::size_t parts);

    std::size_t columns() const noexcept { return n_; }
    std::size_t parts() const noexcept { return parts_.size(); }
    std::uint64_t pairs() const noexcept { return folded_pairs_ + staged_; }
    std::size_t staged() const noexcept { return staged_; }
    bool block_full() const noexcept { return staged_ == weighted_block_pairs; }

    /// Stages the next m pairs, less the shift s: x_i - s_i and y_i - s_i, and w times each of
    /// them (pair k: x at x.data + k * x.stride, values x.step apart, weight w[k * w_stride]).
    /// m at most weighted_block_pairs - staged().
    void stage(detail::strided_block x, detail::strided_block y, const double* w,
               std::size_t w_stride, std::size_t m, const double* s) noexcept;

    /// into_totals: the staged block is folded into the totals and the stage emptied; else the
    /// totals with the staged pairs folded in are written to the snapshot (sums()), and the
    /// totals and stage stay as they were.
    void begin_fold(bool into_totals) noexcept;
    void add_part(std::size_t p) noexcept;
    void end_fold() noexcept;
    /// begin_fold, every part on the calling thread, end_fold.
    void fold(bool into_totals) noexcept;

    /// The totals as of the last fold(false) (mirrored), or of the folds into the totals if
    /// staged() == 0 and none was asked for since.
    const weighted_sums& snapshot() const noexcept { return out_; }

private:
    struct part {
        std::size_t col_begin = 0, col_end = 0;
        std::size_t row_begin = 0, row_end = 0;
        std::unique_ptr<double[]> work;
        double* work_base = nullptr;
    };
    // hi, lo and the block's sums of one quantity, length len, side by side.
    struct folded {
        std::vector<double> hi, lo, block;
    };

    std::size_t n_;
    std::vector<part> parts_;
    std::size_t work_doubles_ = 0;
    std::unique_ptr<double[]> stage_;
    double *x_base_ = nullptr, *y_base_ = nullptr, *wx_base_ = nullptr, *wy_base_ = nullptr;
    std::vector<double> w_;
    std::vector<const double*> x_rows_, y_rows_, wx_rows_, wy_rows_;
    std::size_t staged_ = 0;
    std::uint64_t folded_pairs_ = 0;
    bool into_totals_ = true;
    folded w_sum_, sx_, sy_, sxx_, syy_, sxy_;
    weighted_sums out_;
};

}  // namespace lagstat::stats
