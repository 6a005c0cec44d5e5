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

namespace detail {

/// A thread's share of a weighted accumulator: columns of the vector sums, rows of the products
/// (and the workspace of their panels).
struct weighted_part {
    std::size_t col_begin = 0, col_end = 0;
    std::size_t row_begin = 0, row_end = 0;
    std::unique_ptr<double[]> work;
    double* work_base = nullptr;
};

/// One quantity's totals hi and lo, its current block's sums, and (pooled sums, after a
/// provisional tail) a copy of hi and lo.
struct folded_sums {
    std::vector<double> hi, lo, block, copy_hi, copy_lo;
    explicit folded_sums(std::size_t len = 0) : hi(len, 0.0), lo(len, 0.0), block(len, 0.0) {}
};

/// parts shares of frames of length n, rows of the products balanced by row_cost(i);
/// work_doubles the workspace each share with rows holds.
void split_parts(std::size_t n, std::size_t parts, double (*row_cost)(std::size_t, std::size_t),
                 std::vector<weighted_part>& out, std::size_t& work_doubles);

}  // namespace detail

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
    using part = detail::weighted_part;
    using folded = detail::folded_sums;

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

/// Frames per piece of a trajectory's tail in the pooled sums (below).
constexpr std::size_t pooled_tail_frames = 256;

/// The pooled totals: c is n x n row-major and symmetric, tc n x n.
struct pooled_sums {
    std::size_t n = 0;
    std::uint64_t pairs = 0;
    double w = 0.0;                // the pairs' weights
    std::vector<double> s, c, tc;  // sum v x, sum v x x^T, sum w x y^T
};

/// Weighted sums of a reversible estimate pooled by frame. Of the pairs (x_t, x_{t+lag}) of a
/// trajectory of T frames, weight w_t, the two halves' products go into one sum per frame with
/// the weights of the frame's two pairs added first, v_t = w_t + w_{t-lag} (w_t alone for
/// t < lag, w_{t-lag} alone for t >= T - lag), and each pair's lagged product into the block of
/// its later frame:
///   - products: of frames less the shift, d = x - s, vx = v * d and wx = w_{t-lag} * d_{t-lag}
///     rounded element by element, then c_ij += vx_i * d_j (j >= i, mirrored at the end),
///     tc_ij += wx_i * d_j, s_i += vx_i, and the pair weights' sum w += w_{t-lag}, formed as
///     the kernels pack their panels (no staged copy of d, vx or wx);
///   - main blocks: every frame but the tails (t < T - lag), blocks of weighted_block_pairs by
///     their index among those frames of all trajectories, each summed from zero in frame
///     order; a frame without a pair (t < lag) adds nothing to tc and w;
///   - tails: a trajectory's last frames, t >= max(lag, T - lag), summed at its end in pieces of
///     pooled_tail_frames, oldest first, each from zero;
///   - totals: blocks and pieces folded into (hi, lo) by two-sum in the order they end, hi + lo
///     handed out with the pending main block folded in last.
/// A tail is known only when its trajectory ends: a look at the totals before then can fold a
/// provisional tail into a copy of them (then the pending block), which gives the bits of the
/// trajectory ending there while the sums go on as they were.
class pooled_accumulator {
public:
    /// Throws std::invalid_argument for n == 0 or parts == 0, std::bad_alloc.
    pooled_accumulator(std::size_t n, std::size_t parts);

    std::size_t columns() const noexcept { return n_; }
    std::size_t parts() const noexcept { return parts_.size(); }
    std::uint64_t pairs() const noexcept { return folded_pairs_ + staged_pairs_[0]; }
    /// Parts that have rows of the products (a few columns make one band: the rest have none).
    std::size_t product_parts() const noexcept;

    /// Room in the main block (tail false) or the tail piece.
    std::size_t room(bool tail) const noexcept;
    /// Stages m frames into the main block or the tail piece (m at most room(tail)), to be
    /// taken less the shift s (which stays put while the accumulator lives): frame k at
    /// x.data + k * x.stride, its own weight w[k * w_stride]; frames [first, m) have pairs, the
    /// earlier frame of frame k's at e.data + (k - first) * e.stride with weight
    /// u = we[(k - first) * we_stride]. A frame's pooled weight is its own plus u (a null w: u
    /// alone, as in a tail). Frames whose values lie side by side (step 1) are read where
    /// they are until keep() or a fold; others are copied.
    void stage(bool tail, detail::strided_block x, const double* w, std::size_t w_stride,
               std::size_t m, std::size_t first, detail::strided_block e, const double* we,
               std::size_t we_stride, const double* s) noexcept;
    /// Copies the frames of the main block that are still read in place, before the caller's
    /// memory goes.
    void keep() noexcept;

    enum class step {
        main,         // the full main block into the totals, the block emptied
        tail,         // the tail piece into the totals, the piece emptied
        provisional,  // the tail piece into a copy of the totals (the first since a snapshot
                      // copies them), the piece emptied
        snapshot,     // the pending main block into the totals, or into their copy after a
                      // provisional tail, hi + lo written to snapshot(); the sums unchanged
    };
    /// std::bad_alloc (the first provisional step: the copy's room).
    void begin(step s);
    /// The step's work over part p's elements (any order, any thread).
    void add_part(std::size_t p) noexcept;
    void end() noexcept;

    const pooled_sums& snapshot() const noexcept { return out_; }

private:
    using part = detail::weighted_part;
    using folded = detail::folded_sums;
    std::size_t slot0(bool tail) const noexcept { return tail ? weighted_block_pairs : 0; }

    std::size_t n_;
    std::vector<part> parts_;
    std::size_t work_doubles_ = 0;
    // Per slot: the frame and its pair's earlier frame (the frame itself without a pair), in
    // place or copied into the stage; the frame's pooled weight v and its pair's weight u (0
    // without a pair).
    std::unique_ptr<double[]> stage_;
    double *x_base_ = nullptr, *e_base_ = nullptr;
    const double* shift_ = nullptr;
    std::vector<double> v_, u_;
    std::vector<const double*> x_rows_, e_rows_;
    std::size_t kept_ = 0;            // main slots [0, kept_) are copies
    std::size_t staged_[2] = {0, 0};  // frames in the main block, the tail piece
    std::uint64_t staged_pairs_[2] = {0, 0};
    std::uint64_t folded_pairs_ = 0, copy_pairs_ = 0;
    step step_ = step::main;
    bool copy_fresh_ = false;  // this provisional step starts the copy from the totals
    bool in_copy_ = false;     // a provisional tail is in the copy
    folded w_sum_, s_, c_, tc_;
    pooled_sums out_;
};

}  // namespace lagstat::stats
