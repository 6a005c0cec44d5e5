// Streaming moment accumulation over frames, a block of frames at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace lagstat::stats {

/// Where the accumulated moments go. Null pointers switch a statistic off.
struct moment_targets {
    double* mean = nullptr;  ///< n values: the frames' sum (add_mean) or the centring mean
    bool add_mean = true;    ///< true: add frames to mean; false: subtract mean from every frame
    double* var = nullptr;   ///< n values, sums of squares
    double* cov = nullptr;   ///< n x n, upper triangle of the sum of outer products
    double* tcov = nullptr;  ///< n x n, sum of lagged outer products (earlier frame = rows)
    double* tcov_pairs = nullptr;  ///< one double, count of lagged pairs (required with tcov)
    std::size_t lag = 1;           ///< >= 1 when tcov is set
};

/// Adds frames to the accumulators of moment_targets, a block of frames at a time, through the
/// block kernels. Every accumulator element still receives its frames one by one in frame order,
/// so the results equal the per-frame loops' bit for bit, whatever the block sizes.
///
/// The elements can be split into `parts` (column ranges of mean and var, row bands of cov's
/// upper triangle and of tcov balanced by their work), which threads add a block to side by
/// side: begin_block, then add_block_part for every part (in any order, at the same time), then
/// end_block. The lag frames that later pairs need are kept in a ring of the accumulator's own
/// (lag frames, packed when narrow), so blocks may live in memory of the caller's that is
/// reused once end_block returns.
class moment_accumulator {
public:
    /// Throws std::bad_alloc when the ring or the kernels' workspaces cannot be had (their sizes
    /// are checked against overflow first), std::invalid_argument for n == 0, parts == 0, or
    /// tcov with lag == 0 or without a pair count.
    moment_accumulator(std::size_t n, const moment_targets& targets, std::size_t parts = 1);

    // ---- blocks of frames the caller holds --------------------------------------------------

    /// Subtracts the centring mean from frame x when the targets ask for it (add_mean false):
    /// the caller does so for every frame before it is added. Any thread.
    void centre(double* x) const noexcept;
    /// Whether centre() changes frames at all (callers may skip it otherwise).
    bool centres() const noexcept { return !targets_.add_mean && targets_.mean != nullptr; }
    /// Takes the next m >= 1 frames (centred), in frame order; they must stay put until
    /// end_block. Throws std::bad_alloc when the pointer lists cannot grow.
    void begin_block(const double* const* rows, std::size_t m);
    /// The kernels of the current block over the elements of part p < parts().
    void add_block_part(std::size_t p) noexcept;
    /// After every part: keeps the frames later pairs need, counts frames and pairs.
    void end_block() noexcept;
    /// begin_block, every part, end_block, on the calling thread.
    void add_block(const double* const* rows, std::size_t m);

    // ---- facts ------------------------------------------------------------------------------

    /// Frames added so far.
    std::uint64_t frames() const noexcept { return added_; }
    std::size_t parts() const noexcept { return parts_.size(); }
    /// Parts that hold any element (1 for frames narrow enough to keep them all in one).
    std::size_t busy_parts() const noexcept;
    /// Doubles the accumulator keeps of frames: its lag ring.
    std::size_t ring_doubles() const noexcept { return ring_slots_ * stride_; }

private:
    struct part {
        std::size_t col_begin = 0, col_end = 0;  // of mean and var
        std::size_t row_begin = 0, row_end = 0;  // of cov and tcov
        std::unique_ptr<double[]> work;         // the kernels' panels
        double* work_base = nullptr;             // work aligned to a cache line
    };

    double* ring_slot(std::uint64_t frame) const noexcept {
        return ring_base_ + static_cast<std::size_t>(frame % ring_slots_) * stride_;
    }

    std::size_t n_;
    moment_targets targets_;
    std::size_t stride_;  // doubles from one stored frame to the next
    std::vector<part> parts_;
    std::size_t work_doubles_ = 0;
    std::unique_ptr<double[]> ring_;  // lag slots: frame t lives in slot t % lag
    double* ring_base_ = nullptr;
    std::size_t ring_slots_ = 0;
    // The current block.
    const double* const* rows_ = nullptr;
    std::size_t m_ = 0;
    std::vector<const double*> earlier_;
    std::size_t first_pair_ = 0;  // block position of the first frame that closes a pair
    std::uint64_t added_ = 0;     // frames of finished blocks
};

}  // namespace lagstat::stats
