// The moment accumulator: frames gathered into blocks for the block kernels.
#include "stats/moments.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <stdexcept>

#include "stats/kernel_dispatch.hpp"
#include "stats/kernels.hpp"

namespace lagstat::stats {

namespace {

constexpr std::size_t line_doubles = 64 / sizeof(double);
// Frames narrower than this many doubles are stored without padding.
constexpr std::size_t packed_below = 64;

double* align_to_line(double* p) {
    const std::size_t misalign = (reinterpret_cast<std::uintptr_t>(p) % 64) / sizeof(double);
    return p + (misalign == 0 ? 0 : line_doubles - misalign);
}

}  // namespace

moment_accumulator::moment_accumulator(std::size_t n, const moment_targets& targets,
                                       std::size_t block)
    : n_(n), targets_(targets), block_(block) {
    if (n == 0) throw std::invalid_argument("moment_accumulator: frame length must be positive");
    if (block == 0) throw std::invalid_argument("moment_accumulator: block must be positive");
    const bool lagged = targets.tcov != nullptr;
    if (lagged && targets.lag == 0) throw std::invalid_argument("moment_accumulator: lag < 1");
    if (lagged && targets.tcov_pairs == nullptr)
        throw std::invalid_argument("moment_accumulator: tcov needs a pair count");

    // The store holds the block being gathered plus, with lagged products, the lag frames before
    // it, whose partners may lie in this block. Every size is checked before it is formed.
    constexpr std::size_t max_doubles = std::numeric_limits<std::size_t>::max() / sizeof(double);
    if (n > max_doubles - (line_doubles - 1)) throw std::bad_alloc();
    // Wide frames start on a cache line; narrow ones are packed, so that a long lag of a few
    // columns does not pay several times its values in padding.
    stride_ = n >= packed_below ? (n + line_doubles - 1) / line_doubles * line_doubles : n;
    // The block shrinks as frames widen, so that the store stays within block_store_bytes
    // beside the lag frames, whatever the width (one frame at the least).
    block_ = std::max<std::size_t>(1, std::min(block, block_store_bytes / sizeof(double) / stride_));
    block = block_;
    slots_ = block;
    if (lagged) {
        if (targets.lag > std::numeric_limits<std::size_t>::max() - block) throw std::bad_alloc();
        slots_ += targets.lag;
    }
    if (slots_ > (max_doubles - line_doubles) / stride_) throw std::bad_alloc();
    const std::size_t total = slots_ * stride_ + line_doubles;  // slack to align to a line

    // Left uninitialised: a slot is only ever read after its frame has been written.
    store_.reset(new (std::nothrow) double[total]);
    if (!store_) throw std::bad_alloc();
    store_base_ = align_to_line(store_.get());

    rows_.resize(block);
    if (lagged) earlier_.resize(block);

    if (targets.cov != nullptr || lagged) {
        work_doubles_ = detail::full_panel_work(n);
        if (work_doubles_ == 0 || work_doubles_ > max_doubles - line_doubles)
            throw std::bad_alloc();
        work_.reset(new (std::nothrow) double[work_doubles_ + line_doubles]);
        if (!work_) throw std::bad_alloc();
        work_base_ = align_to_line(work_.get());
    }
}

double* moment_accumulator::next_frame() noexcept {
    return slot(frames_);
}

void moment_accumulator::commit_frame() noexcept {
    if (!targets_.add_mean && targets_.mean != nullptr) {
        double* x = slot(frames_);
        const double* mu = targets_.mean;
        for (std::size_t i = 0; i < n_; ++i) x[i] = x[i] - mu[i];
    }
    ++frames_;
    if (frames_ - flushed_ >= block_) flush();
}

void moment_accumulator::flush() noexcept {
    const std::size_t m = static_cast<std::size_t>(frames_ - flushed_);
    if (m == 0) return;
    for (std::size_t k = 0; k < m; ++k) rows_[k] = slot(flushed_ + k);
    const double* const* rows = rows_.data();

    if (targets_.mean != nullptr && targets_.add_mean) add_sum_block(rows, m, targets_.mean, n_);
    if (targets_.var != nullptr) add_squares_block(rows, m, targets_.var, n_);
    // Both outer products in one call, which packs the block's frames once for the two.
    // Frame t pairs with frame t - lag once t >= lag; the earlier frame is still in the store.
    double* tc = nullptr;
    std::size_t first_pair = m;  // block position of the first frame that closes a pair
    if (targets_.tcov != nullptr) {
        const std::uint64_t lag = targets_.lag;
        const std::uint64_t first = std::max<std::uint64_t>(flushed_, lag);
        if (frames_ > first) {
            tc = targets_.tcov;
            first_pair = static_cast<std::size_t>(first - flushed_);
            for (std::size_t p = 0; p < m - first_pair; ++p) earlier_[p] = slot(first + p - lag);
        }
    }
    if (targets_.cov != nullptr || tc != nullptr) {
        detail::active_block_kernels().add_moment_products(
            rows, m, targets_.cov, earlier_.data(), first_pair, tc, n_, work_base_, work_doubles_);
    }
    if (tc != nullptr) {
        // One 1.0 per pair, as the per-frame count does (not the same once past 2^53).
        double count = *targets_.tcov_pairs;
        for (std::size_t p = first_pair; p < m; ++p) count = count + 1.0;
        *targets_.tcov_pairs = count;
    }
    flushed_ = frames_;
}

}  // namespace lagstat::stats
