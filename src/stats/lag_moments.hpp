// The sums a time-lagged covariance estimator needs at several lags, from one read of the
// frames: moments, lagged products per lag within segments, and the sums of each segment's
// first and last frames per lag (what separates the pairs' first halves from their second).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "stats/kernel_dispatch.hpp"

namespace lagstat::stats {

/// Sums over frames y = x - s (the caller centres). Matrices are n x n, row-major, per lag
/// one after the other; cov, head_cov and tail_cov are symmetric once finish() has run.
struct lag_sums {
    std::size_t n = 0;
    std::vector<std::size_t> lags;
    std::uint64_t frames = 0;
    std::vector<std::uint64_t> pairs;  ///< per lag: sum over segments of max(0, T - lag)
    std::vector<double> sum;           ///< n
    std::vector<double> cov;           ///< n x n
    std::vector<double> tcov;          ///< per lag: y_t y_{t+lag}^T over pairs in a segment
    std::vector<double> head_sum;      ///< per lag, n: the first min(lag, T) frames of segments
    std::vector<double> tail_sum;      ///< per lag, n: the last min(lag, T) frames of segments
    std::vector<double> head_cov;      ///< per lag, n x n: their outer products
    std::vector<double> tail_cov;
};

/// Frames per summing block: the frames with index t (counted over every segment) in
/// [k B, (k + 1) B) are one block, whatever blocks the caller hands over.
constexpr std::size_t lag_block_frames = 1024;

/// Adds blocks of frames to lag_sums through the block kernels, so that the sums are the same
/// bits for any thread count and any way the frames arrive, and accurate to about a rounding
/// per block of lag_block_frames frames rather than one per frame:
///   - within a block every element receives its frames one by one in frame order, each
///     product rounded before its add (a pair belongs to the block of its later frame);
///   - at each block's end its sum b is folded into a pair (hi, lo) by Knuth's two-sum,
///     s = hi + b, e = (hi - (s - (s - hi))) + (b - (s - hi)), hi = s, lo = lo + e,
///     and the block's sum starts again at zero;
///   - a segment's tail (its last min(lag, T) frames, from the ring) is summed at the
///     segment's end in pieces of lag_block_frames frames, oldest first, each folded likewise;
///   - the sums handed out are hi + lo, the last partial block folded in first.
/// One ring of max(lags) frames serves every lag. As moment_accumulator, the elements are split
/// into `parts` that threads add a block to side by side: begin_*, then add_part(p) for every p,
/// then end_*.
class lag_accumulator {
public:
    /// Throws std::invalid_argument for n == 0, parts == 0, no lags or a lag of 0;
    /// std::bad_alloc when the sums, ring or workspaces cannot be had.
    lag_accumulator(std::size_t n, const std::vector<std::size_t>& lags, std::size_t parts = 1);

    /// The next m >= 1 frames of the current segment, in order; they stay put until end_block.
    /// The ring grows with the frames read up to the longest lag (std::bad_alloc), so that a
    /// lag far beyond a short file costs nothing.
    void begin_block(const double* const* rows, std::size_t m);
    void end_block() noexcept;
    /// Closes the current segment (its tail sums); the next block starts a new one.
    void begin_segment_end();
    void end_segment_end() noexcept;
    /// The work of the current step over part p's elements (any order, any thread).
    void add_part(std::size_t p) noexcept;
    /// All parts on the calling thread.
    void add_block(const double* const* rows, std::size_t m);

    /// Mirrors the symmetric sums; call once, after the last segment has ended.
    void finish() noexcept;

    /// The sums as finish() would leave them were the current segment to end now (its tail
    /// sums added on the calling thread), while the accumulator goes on with the segment: the
    /// same bits as ending it, for a caller that looks at the sums between blocks.
    lag_sums sums_if_ended();

    std::size_t parts() const noexcept { return parts_.size(); }
    const lag_sums& sums() const noexcept { return sums_; }
    lag_sums& sums() noexcept { return sums_; }

private:
    struct part {
        std::size_t col_begin = 0, col_end = 0;
        std::size_t row_begin = 0, row_end = 0;
        std::unique_ptr<double[]> work;
        double* work_base = nullptr;
    };
    const double* ring_slot(std::uint64_t frame) const noexcept {
        return ring_base_ + static_cast<std::size_t>(frame % ring_slots_) * n_;
    }
    // Frames frame .. frame + c - 1 (c <= ring_slots_, all in the ring) as a pointer per frame.
    const double* const* ring_run(std::uint64_t frame) const noexcept {
        return ring_runs_.data() + static_cast<std::size_t>(frame % ring_slots_);
    }
    void grow_ring(std::uint64_t frames);
    // Adds frames [k0, k1) of the current block, then folds the part's block sums when k1
    // ends a summing block.
    void add_run(std::size_t p, std::size_t k0, std::size_t k1, bool fold_after) noexcept;
    // Folds part p's block sums (heads of lags whose flag is set) into the totals and zeroes
    // them; into_totals false writes hi + lo with the block folded in to `out` instead.
    void fold_part(std::size_t p, bool into_totals, lag_sums* out) noexcept;
    void fold_tails(std::size_t p, bool into_totals, lag_sums* out) noexcept;

    std::size_t n_;
    lag_sums sums_;
    std::vector<part> parts_;
    std::size_t work_doubles_ = 0;
    std::unique_ptr<double[]> ring_;
    double* ring_base_ = nullptr;
    std::size_t ring_slots_ = 0;
    std::vector<const double*> ring_runs_;  // 2 x ring_slots_: slot j % ring_slots_ at j
    std::size_t longest_lag_ = 0;
    std::uint64_t segment_frames_ = 0;
    // The current step: a block (rows_, m_) or a segment's end (tails_).
    bool tail_step_ = false;
    const double* const* rows_ = nullptr;
    std::size_t m_ = 0;
    // Every lag's earlier frames, and every tail, are a run of ring_runs_ or of history_ (the
    // ring's last frames, then the block's), so a step costs no pointer per frame and lag.
    std::vector<const double*> history_;
    std::vector<std::size_t> first_pair_;        // per lag: block position of the first pair
    std::vector<std::size_t> heads_;             // per lag: head frames in the block
    std::vector<std::size_t> tails_;             // per lag: tail frames at the segment's end
    std::vector<const double* const*> earlier_;  // per lag: the pairs' earlier frames, or the tail
    std::vector<std::vector<detail::lagged_products>> lagged_;  // per part: the kernel's lags
    // sums_ holds the totals' hi until finish() writes hi + lo there; lo_ their errors, block_
    // the current summing block's sums (and the tail piece's), both shaped as sums_.
    lag_sums lo_, block_;
    std::vector<std::size_t> cuts_;    // the current block's runs: [cuts_[r], cuts_[r + 1])
    std::vector<char> fold_heads_;     // per lag: head sums in the summing block being folded
    std::vector<char> heads_pending_;  // per lag: head sums in the unfolded summing block
};

}  // namespace lagstat::stats
