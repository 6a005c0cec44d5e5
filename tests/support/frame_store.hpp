// The moment accumulator fed one frame at a time, as the tests and fuzzers that check it against
// the per-frame kernels hand it frames: they gather in a block store of the harness's own (at most
// `block` frames and store_bytes) and are added a block at a time when it is full. The passes add
// the reader's blocks directly and need none of this.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

#include "stats/moments.hpp"
#include "stats/bands.hpp"

namespace lagstat::harness {

class frame_store : public stats::moment_accumulator {
public:
    static constexpr std::size_t default_block = 128;
    /// Most bytes the frames of one block store take (the lag ring comes on top): wide frames
    /// get smaller blocks.
    static constexpr std::size_t store_bytes = std::size_t{8} << 20;

    /// As moment_accumulator's, and std::invalid_argument for block == 0.
    frame_store(std::size_t n, const stats::moment_targets& targets,
                std::size_t block = default_block, std::size_t parts = 1)
        : moment_accumulator(n, targets, parts) {
        if (block == 0) throw std::invalid_argument("frame_store: block must be positive");
        // Wide frames start on a cache line, as the accumulator's own ring keeps them.
        constexpr std::size_t line = stats::detail::line_doubles;
        stride_ = n >= 64 ? (n + line - 1) / line * line : n;
        block_ = std::max<std::size_t>(1, std::min(block, store_bytes / sizeof(double) / stride_));
    }

    /// Where the next frame is to be written (n doubles). Allocates the store on first use.
    double* next_frame() {
        if (!store_) {
            store_ = stats::detail::aligned_buffer(block_ * stride_, base_);
            rows_.resize(block_);
            for (std::size_t k = 0; k < block_; ++k) rows_[k] = base_ + k * stride_;
        }
        return base_ + queued_ * stride_;
    }
    /// Takes the frame written at next_frame(): centres it and queues it; adds the block when
    /// the store is full.
    void commit_frame() {
        centre(base_ + queued_ * stride_);
        if (++queued_ == block_) flush();
    }
    /// Adds the queued frames; must run before the targets are looked at.
    void flush() {
        const std::size_t m = queued_;
        if (m == 0) return;
        queued_ = 0;
        add_block(rows_.data(), m);
    }

    /// Frames added or queued so far.
    std::uint64_t frames() const noexcept { return moment_accumulator::frames() + queued_; }
    /// Frames the store takes at a time (block, bounded by store_bytes).
    std::size_t block() const noexcept { return block_; }
    /// Doubles kept of frames: the store and the accumulator's lag ring.
    std::size_t store_doubles() const noexcept { return block_ * stride_ + ring_doubles(); }

private:
    std::size_t stride_ = 0;
    std::size_t block_ = 0;
    std::unique_ptr<double[]> store_;
    double* base_ = nullptr;
    std::vector<const double*> rows_;
    std::size_t queued_ = 0;
};

}  // namespace lagstat::harness
