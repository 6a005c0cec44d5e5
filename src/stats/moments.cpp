// The moment accumulator: blocks of frames through the block kernels, split among parts.
#include "stats/moments.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

#include "stats/kernel_dispatch.hpp"
#include "stats/bands.hpp"

namespace lagstat::stats {

namespace {

using detail::aligned_buffer;
using detail::balanced_bands;
using detail::line_doubles;

// Frames narrower than this many doubles are stored without padding.
constexpr std::size_t packed_below = 64;
constexpr std::size_t max_doubles = std::numeric_limits<std::size_t>::max() / sizeof(double);

}  // namespace

moment_accumulator::moment_accumulator(std::size_t n, const moment_targets& targets,
                                       std::size_t parts)
    : n_(n), targets_(targets) {
    if (n == 0) throw std::invalid_argument("moment_accumulator: frame length must be positive");
    if (parts == 0) throw std::invalid_argument("moment_accumulator: parts must be positive");
    const bool lagged = targets.tcov != nullptr;
    if (lagged && targets.lag == 0) throw std::invalid_argument("moment_accumulator: lag < 1");
    if (lagged && targets.tcov_pairs == nullptr)
        throw std::invalid_argument("moment_accumulator: tcov needs a pair count");

    // Wide frames start on a cache line; narrow ones are packed, so that a long lag of a few
    // columns does not pay several times its values in padding.
    if (n > max_doubles - (line_doubles - 1)) throw std::bad_alloc();
    stride_ = n >= packed_below ? (n + line_doubles - 1) / line_doubles * line_doubles : n;

    if (lagged) {
        ring_slots_ = targets.lag;
        if (ring_slots_ > (max_doubles - line_doubles) / stride_) throw std::bad_alloc();
        // Left uninitialised: a slot is only ever read after its frame has been written.
        ring_ = aligned_buffer(ring_slots_ * stride_, ring_base_);
    }

    // Elements split among the parts: mean and var by whole vectors of columns, the rows of the
    // outer products by their work (a row of cov's upper triangle costs n - i, one of tcov n).
    parts_.resize(parts);
    std::vector<std::size_t> bounds;
    // Frames of up to 16 columns keep all of mean and var in one part: each part reads every
    // frame of the block, half of them from another core's cache at two threads, for a chain of
    // adds that one thread does as fast (pass 1 over 10 columns at 2 threads: ~10% less time
    // than with parts of 8 + 2 columns). One part also lets the pass add each piece of a batch
    // on the thread that parsed it (passes/moment_pass.cpp).
    balanced_bands(
        n, parts, n <= 16 ? n : 8, [](std::size_t) { return 1.0; }, bounds);
    for (std::size_t p = 0; p < parts; ++p) {
        parts_[p].col_begin = bounds[p];
        parts_[p].col_end = bounds[p + 1];
    }
    const bool products = targets.cov != nullptr || lagged;
    if (products) {
        const double lagged_cost = lagged ? static_cast<double>(n) : 0.0;
        const bool with_cov = targets.cov != nullptr;
        balanced_bands(n, parts, detail::row_band_step,
                       [&](std::size_t i) {
                           return (with_cov ? static_cast<double>(n - i) : 0.0) + lagged_cost;
                       },
                       bounds);
        work_doubles_ = detail::full_panel_work(n);
        if (work_doubles_ == 0) throw std::bad_alloc();
        for (std::size_t p = 0; p < parts; ++p) {
            parts_[p].row_begin = bounds[p];
            parts_[p].row_end = bounds[p + 1];
            if (bounds[p] < bounds[p + 1])
                parts_[p].work = aligned_buffer(work_doubles_, parts_[p].work_base);
        }
    }
}

std::size_t moment_accumulator::busy_parts() const noexcept {
    std::size_t busy = 0;
    for (const part& pt : parts_)
        busy += pt.col_begin < pt.col_end || pt.row_begin < pt.row_end ? 1 : 0;
    return busy;
}

void moment_accumulator::centre(double* x) const noexcept {
    if (targets_.add_mean || targets_.mean == nullptr) return;
    const double* mu = targets_.mean;
    for (std::size_t i = 0; i < n_; ++i) x[i] = x[i] - mu[i];
}

void moment_accumulator::begin_block(const double* const* rows, std::size_t m) {
    rows_ = rows;
    m_ = m;
    first_pair_ = m;
    if (targets_.tcov == nullptr) return;
    // Frame t pairs with frame t - lag once t >= lag: in this block, or in the ring.
    const std::uint64_t lag = targets_.lag;
    const std::uint64_t first = std::max<std::uint64_t>(added_, lag);
    if (added_ + m <= first) return;
    first_pair_ = static_cast<std::size_t>(first - added_);
    earlier_.resize(m - first_pair_);
    for (std::size_t k = first_pair_; k < m; ++k) {
        const std::uint64_t t = added_ + k - lag;
        earlier_[k - first_pair_] = t >= added_ ? rows[t - added_] : ring_slot(t);
    }
}

void moment_accumulator::add_block_part(std::size_t p) noexcept {
    const part& pt = parts_[p];
    const detail::block_kernel_table& kernels = detail::active_block_kernels();
    if (pt.col_begin < pt.col_end) {
        if (targets_.mean != nullptr && targets_.add_mean)
            kernels.add_sum(rows_, m_, targets_.mean, pt.col_begin, pt.col_end);
        if (targets_.var != nullptr)
            kernels.add_squares(rows_, m_, targets_.var, pt.col_begin, pt.col_end);
    }
    double* tc = first_pair_ < m_ ? targets_.tcov : nullptr;
    if ((targets_.cov != nullptr || tc != nullptr) && pt.row_begin < pt.row_end) {
        // Both outer products in one call, which packs the block's frames once for the two.
        kernels.add_moment_products(rows_, m_, targets_.cov, earlier_.data(), first_pair_, tc, n_,
                                    pt.row_begin, pt.row_end, pt.work_base, work_doubles_);
    }
}

void moment_accumulator::end_block() noexcept {
    if (first_pair_ < m_) {
        // One 1.0 per pair, as the per-frame count does (not the same once past 2^53).
        double count = *targets_.tcov_pairs;
        for (std::size_t k = first_pair_; k < m_; ++k) count = count + 1.0;
        *targets_.tcov_pairs = count;
    }
    if (ring_slots_ != 0) {
        const std::size_t keep = std::min<std::size_t>(m_, ring_slots_);
        for (std::size_t k = m_ - keep; k < m_; ++k)
            std::memcpy(ring_slot(added_ + k), rows_[k], n_ * sizeof(double));
    }
    added_ += m_;
    rows_ = nullptr;
    m_ = 0;
}

void moment_accumulator::add_block(const double* const* rows, std::size_t m) {
    if (m == 0) return;
    begin_block(rows, m);
    for (std::size_t p = 0; p < parts_.size(); ++p) add_block_part(p);
    end_block();
}

}  // namespace lagstat::stats
