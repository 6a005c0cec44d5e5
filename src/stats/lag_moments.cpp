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
using detail::checked_product;
using detail::two_sum;

// Folds block[i] for i in [from, to) into (hi, lo) and zeroes it, or (out non-null) writes
// hi + lo with it folded in to out[i], leaving all three as they were. A block still at +0.0
// leaves hi and lo as they were either way (neither is ever -0.0), so folding one is harmless.
inline void fold_range(double* hi, double* lo, double* block, double* out, std::size_t from,
                       std::size_t to) noexcept {
    for (std::size_t i = from; i < to; ++i) {
        double s, e;
        two_sum(hi[i], lo[i], block[i], s, e);
        if (out != nullptr) {
            out[i] = s + e;
        } else {
            hi[i] = s;
            lo[i] = e;
            block[i] = 0.0;
        }
    }
}

// The upper triangle's rows [row_begin, row_end) of an n x n matrix.
inline void fold_upper(double* hi, double* lo, double* block, double* out, std::size_t n,
                       std::size_t row_begin, std::size_t row_end) noexcept {
    for (std::size_t i = row_begin; i < row_end; ++i)
        fold_range(hi, lo, block, out, i * n + i, (i + 1) * n);
}

void zeroed_like(const lag_sums& shape, lag_sums& out) {
    out.n = shape.n;
    out.sum.assign(shape.sum.size(), 0.0);
    out.cov.assign(shape.cov.size(), 0.0);
    out.tcov.assign(shape.tcov.size(), 0.0);
    out.head_sum.assign(shape.head_sum.size(), 0.0);
    out.tail_sum.assign(shape.tail_sum.size(), 0.0);
    out.head_cov.assign(shape.head_cov.size(), 0.0);
    out.tail_cov.assign(shape.tail_cov.size(), 0.0);
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
    zeroed_like(sums_, lo_);
    zeroed_like(sums_, block_);
    fold_heads_.assign(count, 0);
    heads_pending_.assign(count, 0);
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
    // Runs of the block cut where a summing block ends; a summing block that had head frames
    // of a lag (here or in an earlier call) folds that lag's head sums.
    cuts_.assign(1, 0);
    for (std::size_t k = lag_block_frames - static_cast<std::size_t>(added % lag_block_frames);
         k < m; k += lag_block_frames)
        cuts_.push_back(k);
    cuts_.push_back(m);
    for (std::size_t l = 0; l < sums_.lags.size(); ++l)
        fold_heads_[l] = heads_pending_[l] != 0 || heads_[l] != 0;
}

void lag_accumulator::fold_part(std::size_t p, bool into_totals, lag_sums* out) noexcept {
    const part& pt = parts_[p];
    const std::size_t n = n_, nn = n_ * n_, count = sums_.lags.size();
    lag_sums& hi = sums_;
    auto target = [&](std::vector<double> lag_sums::*field) {
        return into_totals ? nullptr : (out->*field).data();
    };
    double* const o_sum = target(&lag_sums::sum);
    double* const o_head_sum = target(&lag_sums::head_sum);
    double* const o_cov = target(&lag_sums::cov);
    double* const o_tcov = target(&lag_sums::tcov);
    double* const o_head_cov = target(&lag_sums::head_cov);
    if (pt.col_begin < pt.col_end) {
        fold_range(hi.sum.data(), lo_.sum.data(), block_.sum.data(), o_sum, pt.col_begin,
                   pt.col_end);
        for (std::size_t l = 0; l < count; ++l)
            if (!into_totals || fold_heads_[l])
                fold_range(hi.head_sum.data(), lo_.head_sum.data(), block_.head_sum.data(),
                           o_head_sum, l * n + pt.col_begin, l * n + pt.col_end);
    }
    if (pt.row_begin < pt.row_end) {
        fold_upper(hi.cov.data(), lo_.cov.data(), block_.cov.data(), o_cov, n, pt.row_begin,
                   pt.row_end);
        for (std::size_t l = 0; l < count; ++l) {
            fold_range(hi.tcov.data(), lo_.tcov.data(), block_.tcov.data(), o_tcov,
                       l * nn + pt.row_begin * n, l * nn + pt.row_end * n);
            if (!into_totals || fold_heads_[l])
                fold_upper(&hi.head_cov[l * nn], &lo_.head_cov[l * nn], &block_.head_cov[l * nn],
                           o_head_cov ? o_head_cov + l * nn : nullptr, n, pt.row_begin, pt.row_end);
        }
    }
    if (!into_totals) fold_tails(p, false, out);
}

void lag_accumulator::fold_tails(std::size_t p, bool into_totals, lag_sums* out) noexcept {
    const part& pt = parts_[p];
    const std::size_t n = n_, nn = n_ * n_;
    for (std::size_t l = 0; l < sums_.lags.size(); ++l) {
        if (into_totals && tails_[l] == 0) continue;
        if (pt.col_begin < pt.col_end)
            fold_range(sums_.tail_sum.data(), lo_.tail_sum.data(), block_.tail_sum.data(),
                       into_totals ? nullptr : out->tail_sum.data(), l * n + pt.col_begin,
                       l * n + pt.col_end);
        if (pt.row_begin < pt.row_end)
            fold_upper(&sums_.tail_cov[l * nn], &lo_.tail_cov[l * nn], &block_.tail_cov[l * nn],
                       into_totals ? nullptr : &out->tail_cov[l * nn], n, pt.row_begin, pt.row_end);
    }
}

void lag_accumulator::add_part(std::size_t p) noexcept {
    const part& pt = parts_[p];
    const detail::block_kernel_table& kernels = detail::active_block_kernels();
    const std::size_t nn = n_ * n_;
    if (!tail_step_) {
        for (std::size_t r = 0; r + 1 < cuts_.size(); ++r)
            add_run(p, cuts_[r], cuts_[r + 1],
                    (sums_.frames + cuts_[r + 1]) % lag_block_frames == 0);
        return;
    }
    // The segment's last min(lag, T) frames, oldest first: all still in the ring. Pieces of a
    // summing block's length, each folded, so that a long lag's tail sums stay accurate too.
    std::size_t longest = 0;
    for (std::size_t count : tails_) longest = std::max(longest, count);
    for (std::size_t at = 0; at < longest; at += lag_block_frames) {
        for (std::size_t l = 0; l < sums_.lags.size(); ++l) {
            if (at >= tails_[l]) continue;
            const double* const* tail = earlier_[l] + at;
            const std::size_t count = std::min(lag_block_frames, tails_[l] - at);
            if (pt.col_begin < pt.col_end)
                kernels.add_sum(tail, count, &block_.tail_sum[l * n_], pt.col_begin, pt.col_end);
            if (pt.row_begin < pt.row_end)
                kernels.add_moment_products(tail, count, &block_.tail_cov[l * nn], nullptr, count,
                                            nullptr, n_, pt.row_begin, pt.row_end, pt.work_base,
                                            work_doubles_);
        }
        fold_tails(p, true, nullptr);
    }
}

void lag_accumulator::add_run(std::size_t p, std::size_t k0, std::size_t k1,
                              bool fold_after) noexcept {
    const part& pt = parts_[p];
    const detail::block_kernel_table& kernels = detail::active_block_kernels();
    const std::size_t nn = n_ * n_, m = k1 - k0;
    const double* const* rows = rows_ + k0;
    if (pt.col_begin < pt.col_end) {
        kernels.add_sum(rows, m, block_.sum.data(), pt.col_begin, pt.col_end);
        for (std::size_t l = 0; l < sums_.lags.size(); ++l)
            if (heads_[l] > k0)
                kernels.add_sum(rows, std::min(heads_[l], k1) - k0, &block_.head_sum[l * n_],
                                pt.col_begin, pt.col_end);
    }
    if (pt.row_begin < pt.row_end) {
        // cov and every lag's products in one call, which packs each chunk of the run once.
        std::vector<detail::lagged_products>& lagged = lagged_[p];
        for (std::size_t l = 0; l < sums_.lags.size(); ++l) {
            const std::size_t first = first_pair_[l];
            if (first < k1) {
                const std::size_t start = std::max(first, k0);
                lagged[l] = {earlier_[l] + (start - first), start - k0, &block_.tcov[l * nn]};
            } else {
                lagged[l] = {nullptr, m, nullptr};
            }
        }
        kernels.add_lagged_products(rows, m, block_.cov.data(), lagged.data(), lagged.size(), n_,
                                    pt.row_begin, pt.row_end, pt.work_base, work_doubles_);
        for (std::size_t l = 0; l < sums_.lags.size(); ++l) {
            if (heads_[l] <= k0) continue;
            const std::size_t h = std::min(heads_[l], k1) - k0;
            kernels.add_moment_products(rows, h, &block_.head_cov[l * nn], nullptr, h, nullptr, n_,
                                        pt.row_begin, pt.row_end, pt.work_base, work_doubles_);
        }
    }
    if (fold_after) fold_part(p, true, nullptr);
}

void lag_accumulator::end_block() noexcept {
    for (std::size_t l = 0; l < sums_.lags.size(); ++l) sums_.pairs[l] += m_ - first_pair_[l];
    // The summing block left open: its head sums are pending if head frames came after the
    // last fold (or, with no fold in this block, before it too).
    std::size_t last_fold = 0;
    for (std::size_t r = 1; r < cuts_.size(); ++r)
        if ((sums_.frames + cuts_[r]) % lag_block_frames == 0) last_fold = cuts_[r];
    for (std::size_t l = 0; l < sums_.lags.size(); ++l)
        heads_pending_[l] = last_fold == 0 ? fold_heads_[l] : heads_[l] > last_fold;
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
    // hi + lo, the open summing block folded in, written over hi element by element.
    for (std::size_t p = 0; p < parts_.size(); ++p) fold_part(p, false, &sums_);
    const std::size_t nn = n_ * n_;
    mirror_upper(sums_.cov.data(), n_);
    for (std::size_t l = 0; l < sums_.lags.size(); ++l) {
        mirror_upper(&sums_.head_cov[l * nn], n_);
        mirror_upper(&sums_.tail_cov[l * nn], n_);
    }
}

lag_sums lag_accumulator::sums_if_ended() {
    // The tail step folds into the tails' totals only: run it on the live totals, read
    // hi + lo with the open block folded in, and put the tails' totals back as they were.
    std::vector<double> tail_sum = sums_.tail_sum, tail_cov = sums_.tail_cov;
    std::vector<double> tail_sum_lo = lo_.tail_sum, tail_cov_lo = lo_.tail_cov;
    if (segment_frames_ != 0) {
        begin_segment_end();
        for (std::size_t p = 0; p < parts_.size(); ++p) add_part(p);
        tail_step_ = false;
    }
    lag_sums out = sums_;
    for (std::size_t p = 0; p < parts_.size(); ++p) fold_part(p, false, &out);
    sums_.tail_sum.swap(tail_sum);
    sums_.tail_cov.swap(tail_cov);
    lo_.tail_sum.swap(tail_sum_lo);
    lo_.tail_cov.swap(tail_cov_lo);
    const std::size_t nn = n_ * n_;
    mirror_upper(out.cov.data(), n_);
    for (std::size_t l = 0; l < out.lags.size(); ++l) {
        mirror_upper(&out.head_cov[l * nn], n_);
        mirror_upper(&out.tail_cov[l * nn], n_);
    }
    return out;
}

}  // namespace lagstat::stats
