#include "stats/lag_moments.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

#include "stats/bands.hpp"
#include "stats/kernel_dispatch.hpp"
#include "stats/mirror.hpp"

namespace lagstat::stats {

namespace {

using detail::aligned_buffer;

std::size_t checked_product(std::size_t a, std::size_t b) {
    if (b != 0 && a > std::numeric_limits<std::size_t>::max() / sizeof(double) / b)
        throw std::bad_alloc();
    return a * b;
}

}  // namespace

lag_accumulator::lag_accumulator(std::size_t n, const std::vector<std::size_t>& lags,
                                 std::size_t parts)
    : n_(n) {
    if (n == 0) throw std::invalid_argument("lag_accumulator: frame length must be positive");
    if (parts == 0) throw std::invalid_argument("lag_accumulator: parts must be positive");
    if (lags.empty()) throw std::invalid_argument("lag_accumulator: no lags");
    for (std::size_t lag : lags)
        if (lag == 0) throw std::invalid_argument("lag_accumulator: lag < 1");
    const std::size_t count = lags.size();
    const std::size_t nn = checked_product(n, n);
    const std::size_t lnn = checked_product(count, nn);
    sums_.n = n;
    sums_.lags = lags;
    sums_.pairs.assign(count, 0);
    sums_.sum.assign(n, 0.0);
    sums_.cov.assign(nn, 0.0);
    sums_.tcov.assign(lnn, 0.0);
    sums_.head_sum.assign(count * n, 0.0);
    sums_.tail_sum.assign(count * n, 0.0);
    sums_.head_cov.assign(lnn, 0.0);
    sums_.tail_cov.assign(lnn, 0.0);

    longest_lag_ = *std::max_element(lags.begin(), lags.end());

    // Columns for the vector sums; rows of the products by their work: a row of the upper
    // triangles (cov, and the head and tail sums per lag) costs n - i, a row of each tcov n.
    parts_.resize(parts);
    std::vector<std::size_t> cols, rows;
    detail::balanced_bands(
        n, parts, 8, [](std::size_t) { return 1.0; }, cols);
    const double full = static_cast<double>(count * n);
    const double triangles = static_cast<double>(1 + 2 * count);
    detail::balanced_bands(
        n, parts, detail::row_band_step,
        [&](std::size_t i) { return triangles * static_cast<double>(n - i) + full; }, rows);
    work_doubles_ = detail::full_panel_work(n);
    if (work_doubles_ == 0) throw std::bad_alloc();
    for (std::size_t p = 0; p < parts; ++p) {
        parts_[p].col_begin = cols[p];
        parts_[p].col_end = cols[p + 1];
        parts_[p].row_begin = rows[p];
        parts_[p].row_end = rows[p + 1];
        if (rows[p] < rows[p + 1])
            parts_[p].work = aligned_buffer(work_doubles_, parts_[p].work_base);
    }
    lagged_.assign(parts, std::vector<detail::lagged_products>(count));
    first_pair_.resize(count);
    heads_.resize(count);
    tails_.resize(count);
    earlier_.resize(count);
}

void lag_accumulator::grow_ring(std::uint64_t frames) {
    // Slots for the last min(longest lag, frames) frames, doubled as they come; frame t keeps
    // slot t % slots, so the frames kept move to their new slots.
    const std::uint64_t want = std::min<std::uint64_t>(longest_lag_, frames);
    if (want <= ring_slots_) return;
    const std::size_t slots = static_cast<std::size_t>(std::min<std::uint64_t>(
        longest_lag_, std::max<std::uint64_t>(want, 2 * std::uint64_t{ring_slots_})));
    double* base = nullptr;
    std::unique_ptr<double[]> ring = aligned_buffer(checked_product(slots, n_), base);
    const std::uint64_t kept = std::min<std::uint64_t>(ring_slots_, sums_.frames);
    for (std::uint64_t t = sums_.frames - kept; t < sums_.frames; ++t)
        std::memcpy(base + static_cast<std::size_t>(t % slots) * n_, ring_slot(t),
                    n_ * sizeof(double));
    // Slot pointers twice over: a run of up to `slots` frames from any one is contiguous.
    std::vector<const double*> runs(2 * slots);
    for (std::size_t j = 0; j < runs.size(); ++j) runs[j] = base + (j % slots) * n_;
    ring_ = std::move(ring);
    ring_base_ = base;
    ring_slots_ = slots;
    ring_runs_ = std::move(runs);
}

void lag_accumulator::begin_block(const double* const* rows, std::size_t m) {
    grow_ring(sums_.frames + m);
    tail_step_ = false;
    rows_ = rows;
    m_ = m;
    const std::uint64_t added = sums_.frames;
    // A lag shorter than the block pairs some of its frames with the ring's, the rest with the
    // block's: one run of history_, the ring's last frames (as many as such a lag reaches back)
    // and then the block's. At most 2m pointers, whatever the lags.
    const std::size_t before = static_cast<std::size_t>(
        std::min<std::uint64_t>({longest_lag_, segment_frames_, std::uint64_t{m} - 1}));
    history_.resize(before + m);
    for (std::size_t j = 0; j < before; ++j) history_[j] = ring_slot(added - before + j);
    std::copy(rows, rows + m, history_.begin() + static_cast<std::ptrdiff_t>(before));
    for (std::size_t l = 0; l < sums_.lags.size(); ++l) {
        const std::uint64_t lag = sums_.lags[l];
        // Frame k of the block is frame segment_frames_ + k of its segment: a head frame below
        // the lag, the second half of a pair from it on, whose first half is frame
        // added + k - lag, `lag` earlier: in this block or in the ring.
        const std::uint64_t heads = segment_frames_ < lag ? lag - segment_frames_ : 0;
        heads_[l] = static_cast<std::size_t>(std::min<std::uint64_t>(heads, m));
        first_pair_[l] = heads_[l];
        if (first_pair_[l] == m)
            earlier_[l] = nullptr;
        else if (lag < m)
            earlier_[l] =
                history_.data() + (before + first_pair_[l] - static_cast<std::size_t>(lag));
        else
            earlier_[l] = ring_run(added + first_pair_[l] - lag);
    }
}

void lag_accumulator::add_part(std::size_t p) noexcept {
    const part& pt = parts_[p];
    const detail::block_kernel_table& kernels = detail::active_block_kernels();
    const std::size_t nn = n_ * n_;
    if (tail_step_) {
        // The segment's last min(lag, T) frames, oldest first: all still in the ring.
        for (std::size_t l = 0; l < sums_.lags.size(); ++l) {
            const double* const* tail = earlier_[l];
            const std::size_t count = tails_[l];
            if (count == 0) continue;
            if (pt.col_begin < pt.col_end)
                kernels.add_sum(tail, count, &sums_.tail_sum[l * n_], pt.col_begin, pt.col_end);
            if (pt.row_begin < pt.row_end)
                kernels.add_moment_products(tail, count, &sums_.tail_cov[l * nn], nullptr, count,
                                            nullptr, n_, pt.row_begin, pt.row_end, pt.work_base,
                                            work_doubles_);
        }
        return;
    }
    if (pt.col_begin < pt.col_end) {
        kernels.add_sum(rows_, m_, sums_.sum.data(), pt.col_begin, pt.col_end);
        for (std::size_t l = 0; l < sums_.lags.size(); ++l)
            if (heads_[l] != 0)
                kernels.add_sum(rows_, heads_[l], &sums_.head_sum[l * n_], pt.col_begin,
                                pt.col_end);
    }
    if (pt.row_begin >= pt.row_end) return;
    // cov and every lag's products in one call, which packs each chunk of the block once.
    std::vector<detail::lagged_products>& lagged = lagged_[p];
    for (std::size_t l = 0; l < sums_.lags.size(); ++l) {
        const bool pairs = first_pair_[l] < m_;
        lagged[l] = {pairs ? earlier_[l] : nullptr, pairs ? first_pair_[l] : m_,
                     pairs ? &sums_.tcov[l * nn] : nullptr};
    }
    kernels.add_lagged_products(rows_, m_, sums_.cov.data(), lagged.data(), lagged.size(), n_,
                                pt.row_begin, pt.row_end, pt.work_base, work_doubles_);
    for (std::size_t l = 0; l < sums_.lags.size(); ++l) {
        if (heads_[l] != 0)
            kernels.add_moment_products(rows_, heads_[l], &sums_.head_cov[l * nn], nullptr,
                                        heads_[l], nullptr, n_, pt.row_begin, pt.row_end,
                                        pt.work_base, work_doubles_);
    }
}

void lag_accumulator::end_block() noexcept {
    for (std::size_t l = 0; l < sums_.lags.size(); ++l) sums_.pairs[l] += m_ - first_pair_[l];
    const std::size_t keep = std::min<std::size_t>(m_, ring_slots_);
    for (std::size_t k = m_ - keep; k < m_; ++k)
        std::memcpy(const_cast<double*>(ring_slot(sums_.frames + k)), rows_[k],
                    n_ * sizeof(double));
    sums_.frames += m_;
    segment_frames_ += m_;
    rows_ = nullptr;
    m_ = 0;
}

void lag_accumulator::begin_segment_end() {
    tail_step_ = true;
    for (std::size_t l = 0; l < sums_.lags.size(); ++l) {
        tails_[l] =
            static_cast<std::size_t>(std::min<std::uint64_t>(sums_.lags[l], segment_frames_));
        earlier_[l] = tails_[l] != 0 ? ring_run(sums_.frames - tails_[l]) : nullptr;
    }
}

void lag_accumulator::end_segment_end() noexcept {
    tail_step_ = false;
    segment_frames_ = 0;
}

void lag_accumulator::add_block(const double* const* rows, std::size_t m) {
    if (m == 0) return;
    begin_block(rows, m);
    for (std::size_t p = 0; p < parts_.size(); ++p) add_part(p);
    end_block();
}

void lag_accumulator::finish() noexcept {
    const std::size_t nn = n_ * n_;
    mirror_upper(sums_.cov.data(), n_);
    for (std::size_t l = 0; l < sums_.lags.size(); ++l) {
        mirror_upper(&sums_.head_cov[l * nn], n_);
        mirror_upper(&sums_.tail_cov[l * nn], n_);
    }
}

lag_sums lag_accumulator::sums_if_ended() {
    // The tail step adds into tail_sum and tail_cov only: run it on the live sums, copy them,
    // and put the tails back as they were.
    std::vector<double> tail_sum = sums_.tail_sum, tail_cov = sums_.tail_cov;
    if (segment_frames_ != 0) {
        begin_segment_end();
        for (std::size_t p = 0; p < parts_.size(); ++p) add_part(p);
        tail_step_ = false;
    }
    lag_sums out = sums_;
    sums_.tail_sum.swap(tail_sum);
    sums_.tail_cov.swap(tail_cov);
    const std::size_t nn = n_ * n_;
    mirror_upper(out.cov.data(), n_);
    for (std::size_t l = 0; l < out.lags.size(); ++l) {
        mirror_upper(&out.head_cov[l * nn], n_);
        mirror_upper(&out.tail_cov[l * nn], n_);
    }
    return out;
}

}  // namespace lagstat::stats
