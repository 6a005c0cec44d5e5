// Streaming moment accumulation over frames, gathered into blocks for the kernels.
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

/// Feeds frames one by one into the accumulators of moment_targets. Frames are kept in a store
/// of block + lag frames (the block bounded by block_store_bytes) and handed to the block
/// kernels a block at a time; every accumulator
/// element still receives its frames one by one in frame order, so the results equal the
/// per-frame kernels' bit for bit. flush() must run before the caller looks at the targets.
class moment_accumulator {
public:
    static constexpr std::size_t default_block = 128;
    /// Most bytes the frames of one block take (the lag frames kept for lagged products come on
    /// top): wide frames get smaller blocks.
    static constexpr std::size_t block_store_bytes = std::size_t{8} << 20;

    /// Throws std::bad_alloc when the store cannot be allocated (its size is checked against
    /// overflow first), std::invalid_argument for n == 0 or tcov with lag == 0.
    moment_accumulator(std::size_t n, const moment_targets& targets,
                       std::size_t block = default_block);

    /// Where the next frame is to be written (n doubles).
    double* next_frame() noexcept;
    /// Takes the frame written at next_frame(): centres it (add_mean false) and queues it;
    /// runs the kernels when a block is full.
    void commit_frame() noexcept;
    /// Runs the kernels over the queued frames.
    void flush() noexcept;
    /// Frames committed so far.
    std::uint64_t frames() const noexcept { return frames_; }
    /// Frames handed to the kernels at a time.
    std::size_t block() const noexcept { return block_; }
    /// Doubles the frame store holds (block and lag frames with their padding).
    std::size_t store_doubles() const noexcept { return slots_ * stride_; }

private:
    double* slot(std::uint64_t frame) const noexcept {
        return store_base_ + static_cast<std::size_t>(frame % slots_) * stride_;
    }

    std::size_t n_;
    moment_targets targets_;
    std::size_t block_;
    std::size_t slots_;   // frames the store holds: frame t lives in slot t % slots_
    std::size_t stride_;  // doubles from one slot to the next (wide frames: n_ rounded to a line)
    std::unique_ptr<double[]> store_;
    double* store_base_ = nullptr;  // store_ aligned to a cache line
    std::vector<const double*> rows_, earlier_;
    std::unique_ptr<double[]> work_;  // panels of the outer products
    double* work_base_ = nullptr;     // work_ aligned to a cache line
    std::size_t work_doubles_ = 0;
    std::uint64_t frames_ = 0;   // frames committed
    std::uint64_t flushed_ = 0;  // frames handed to the kernels
};

}  // namespace lagstat::stats
