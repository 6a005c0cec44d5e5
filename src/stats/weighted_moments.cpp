#include "stats/weighted_moments.hpp"

#include <algorithm>
#include <limits>
#include <new>
#include <stdexcept>

#include "stats/bands.hpp"
#include "stats/kernel_dispatch.hpp"
#include "stats/mirror.hpp"

namespace lagstat::stats {

namespace {

using detail::checked_product;
using detail::two_sum;

}  // namespace

void detail::split_parts(std::size_t n, std::size_t parts,
                         double (*row_cost)(std::size_t, std::size_t),
                         std::vector<weighted_part>& out, std::size_t& work_doubles) {
    out.resize(parts);
    std::vector<std::size_t> cols, rows;
    balanced_bands(
        n, parts, 8, [](std::size_t) { return 1.0; }, cols);
    balanced_bands(
        n, parts, row_band_step, [&](std::size_t i) { return row_cost(n, i); }, rows);
    work_doubles = full_panel_work(n);
    if (work_doubles == 0) throw std::bad_alloc();
    for (std::size_t p = 0; p < parts; ++p) {
        out[p].col_begin = cols[p];
        out[p].col_end = cols[p + 1];
        out[p].row_begin = rows[p];
        out[p].row_end = rows[p + 1];
        if (rows[p] < rows[p + 1]) out[p].work = aligned_buffer(work_doubles, out[p].work_base);
    }
}

weighted_accumulator::weighted_accumulator(std::size_t n, std::size_t parts) : n_(n) {
    if (n == 0) throw std::invalid_argument("weighted_accumulator: frame length must be positive");
    if (parts == 0) throw std::invalid_argument("weighted_accumulator: parts must be positive");
    const std::size_t nn = checked_product(n, n);
    const std::size_t stage = checked_product(4 * weighted_block_pairs, n);
    stage_ = detail::aligned_buffer(stage, x_base_);
    y_base_ = x_base_ + weighted_block_pairs * n;
    wx_base_ = y_base_ + weighted_block_pairs * n;
    wy_base_ = wx_base_ + weighted_block_pairs * n;
    w_.resize(weighted_block_pairs);
    x_rows_.resize(weighted_block_pairs);
    y_rows_.resize(weighted_block_pairs);
    wx_rows_.resize(weighted_block_pairs);
    wy_rows_.resize(weighted_block_pairs);
    for (std::size_t k = 0; k < weighted_block_pairs; ++k) {
        x_rows_[k] = x_base_ + k * n;
        y_rows_[k] = y_base_ + k * n;
        wx_rows_[k] = wx_base_ + k * n;
        wy_rows_[k] = wy_base_ + k * n;
    }
    w_sum_ = folded(1);
    sx_ = sy_ = folded(n);
    sxx_ = syy_ = sxy_ = folded(nn);
    out_.n = n;
    out_.sx.assign(n, 0.0);
    out_.sy.assign(n, 0.0);
    out_.sxx.assign(nn, 0.0);
    out_.syy.assign(nn, 0.0);
    out_.sxy.assign(nn, 0.0);
    // Rows of the products by their work: a row i of the two upper triangles costs 2 (n - i),
    // of sxy n.
    detail::split_parts(
        n, parts,
        [](std::size_t n, std::size_t i) {
            return 2.0 * static_cast<double>(n - i) + static_cast<double>(n);
        },
        parts_, work_doubles_);
}

void weighted_accumulator::stage(detail::strided_block x, detail::strided_block y, const double* w,
                                 std::size_t w_stride, std::size_t m, const double* s) noexcept {
    const std::size_t at = staged_ * n_;
    detail::active_block_kernels().stage_weighted_pairs(x, y, w, w_stride, m, s, n_, x_base_ + at,
                                                        y_base_ + at, wx_base_ + at, wy_base_ + at);
    for (std::size_t k = 0; k < m; ++k) w_[staged_ + k] = w[k * w_stride];
    staged_ += m;
}

void weighted_accumulator::begin_fold(bool into_totals) noexcept {
    into_totals_ = into_totals;
}

void weighted_accumulator::add_part(std::size_t p) noexcept {
    const part& pt = parts_[p];
    const detail::block_kernel_table& kernels = detail::active_block_kernels();
    const std::size_t m = staged_;
    const bool keep = into_totals_;
    // Folds block[i] into hi/lo (kept) or writes hi + lo with it folded in to out.
    auto fold_one = [keep](folded& f, std::size_t i, double* out) {
        double s, lo;
        two_sum(f.hi[i], f.lo[i], f.block[i], s, lo);
        if (keep) {
            f.hi[i] = s;
            f.lo[i] = lo;
        } else {
            out[i] = s + lo;
        }
    };
    if (p == 0) {
        double sw = 0.0;
        for (std::size_t k = 0; k < m; ++k) sw += w_[k];
        w_sum_.block[0] = sw;
        fold_one(w_sum_, 0, &out_.w);
    }
    if (pt.col_begin < pt.col_end) {
        std::fill(sx_.block.begin() + pt.col_begin, sx_.block.begin() + pt.col_end, 0.0);
        std::fill(sy_.block.begin() + pt.col_begin, sy_.block.begin() + pt.col_end, 0.0);
        if (m != 0) {
            kernels.add_sum(wx_rows_.data(), m, sx_.block.data(), pt.col_begin, pt.col_end);
            kernels.add_sum(wy_rows_.data(), m, sy_.block.data(), pt.col_begin, pt.col_end);
        }
        for (std::size_t i = pt.col_begin; i < pt.col_end; ++i) {
            fold_one(sx_, i, out_.sx.data());
            fold_one(sy_, i, out_.sy.data());
        }
    }
    if (pt.row_begin >= pt.row_end) return;
    const std::size_t from = pt.row_begin * n_, to = pt.row_end * n_;
    std::fill(sxx_.block.begin() + from, sxx_.block.begin() + to, 0.0);
    std::fill(syy_.block.begin() + from, syy_.block.begin() + to, 0.0);
    std::fill(sxy_.block.begin() + from, sxy_.block.begin() + to, 0.0);
    if (m != 0) {
        // syy and sxy share the packed y frames; sxx has its own call.
        const detail::lagged_products pairs{wx_rows_.data(), 0, sxy_.block.data()};
        kernels.add_weighted_products(y_rows_.data(), wy_rows_.data(), m, syy_.block.data(), &pairs,
                                      1, n_, pt.row_begin, pt.row_end, pt.work_base, work_doubles_);
        kernels.add_weighted_products(x_rows_.data(), wx_rows_.data(), m, sxx_.block.data(),
                                      nullptr, 0, n_, pt.row_begin, pt.row_end, pt.work_base,
                                      work_doubles_);
    }
    for (std::size_t i = pt.row_begin; i < pt.row_end; ++i) {
        for (std::size_t j = i; j < n_; ++j) {
            fold_one(sxx_, i * n_ + j, out_.sxx.data());
            fold_one(syy_, i * n_ + j, out_.syy.data());
        }
        for (std::size_t j = 0; j < n_; ++j) fold_one(sxy_, i * n_ + j, out_.sxy.data());
    }
}

void weighted_accumulator::end_fold() noexcept {
    if (into_totals_) {
        folded_pairs_ += staged_;
        staged_ = 0;
        return;
    }
    mirror_upper(out_.sxx.data(), n_);
    mirror_upper(out_.syy.data(), n_);
    out_.pairs = pairs();
}

void weighted_accumulator::fold(bool into_totals) noexcept {
    begin_fold(into_totals);
    for (std::size_t p = 0; p < parts_.size(); ++p) add_part(p);
    end_fold();
}

pooled_accumulator::pooled_accumulator(std::size_t n, std::size_t parts) : n_(n) {
    if (n == 0) throw std::invalid_argument("pooled_accumulator: frame length must be positive");
    if (parts == 0) throw std::invalid_argument("pooled_accumulator: parts must be positive");
    const std::size_t nn = checked_product(n, n);
    const std::size_t slots = weighted_block_pairs + pooled_tail_frames;
    stage_ = detail::aligned_buffer(checked_product(2 * slots, n), x_base_);
    e_base_ = x_base_ + slots * n;
    v_.assign(slots, 0.0);
    u_.assign(slots, 0.0);
    x_rows_.assign(slots, nullptr);
    e_rows_.assign(slots, nullptr);
    w_sum_ = folded(1);
    s_ = folded(n);
    c_ = tc_ = folded(nn);
    out_.n = n;
    out_.s.assign(n, 0.0);
    out_.c.assign(nn, 0.0);
    out_.tc.assign(nn, 0.0);
    // Row i of the products costs n - i (the triangle) and n (the lagged product).
    detail::split_parts(
        n, parts,
        [](std::size_t n, std::size_t i) {
            return static_cast<double>(n - i) + static_cast<double>(n);
        },
        parts_, work_doubles_);
}

std::size_t pooled_accumulator::product_parts() const noexcept {
    return static_cast<std::size_t>(std::count_if(
        parts_.begin(), parts_.end(), [](const part& p) { return p.row_begin < p.row_end; }));
}

std::size_t pooled_accumulator::room(bool tail) const noexcept {
    return (tail ? pooled_tail_frames : weighted_block_pairs) - staged_[tail];
}

void pooled_accumulator::stage(bool tail, detail::strided_block x, const double* w,
                               std::size_t w_stride, std::size_t m, std::size_t first,
                               detail::strided_block e, const double* we, std::size_t we_stride,
                               const double* s) noexcept {
    shift_ = s;
    const std::size_t slot = slot0(tail) + staged_[tail];
    // A frame read in place, or gathered into its slot's copy.
    auto row = [this](detail::strided_block b, std::size_t k, double* copy) -> const double* {
        const double* at = b.data + k * b.stride;
        if (b.step == 1) return at;
        for (std::size_t i = 0; i < n_; ++i) copy[i] = at[i * b.step];
        return copy;
    };
    const std::size_t own = std::min(first, m);
    for (std::size_t k = 0; k < own; ++k) {
        const std::size_t q = slot + k;
        x_rows_[q] = e_rows_[q] = row(x, k, x_base_ + q * n_);  // u = 0: adds no bit to a sum
        u_[q] = 0.0;
        v_[q] = w[k * w_stride];
    }
    if (x.step == 1 && e.step == 1) {
        for (std::size_t k = own, j = 0; k < m; ++k, ++j) {
            x_rows_[slot + k] = x.data + k * x.stride;
            e_rows_[slot + k] = e.data + j * e.stride;
        }
    } else {
        for (std::size_t k = own, j = 0; k < m; ++k, ++j) {
            x_rows_[slot + k] = row(x, k, x_base_ + (slot + k) * n_);
            e_rows_[slot + k] = row(e, j, e_base_ + (slot + k) * n_);
        }
    }
    for (std::size_t k = own, j = 0; k < m; ++k, ++j) {
        const double u = we[j * we_stride];
        u_[slot + k] = u;
        v_[slot + k] = w != nullptr ? w[k * w_stride] + u : u;
    }
    staged_[tail] += m;
    staged_pairs_[tail] += m - first;
}

void pooled_accumulator::keep() noexcept {
    for (std::size_t q = kept_; q < staged_[0]; ++q) {
        double* x = x_base_ + q * n_;
        double* e = e_base_ + q * n_;
        const bool self = e_rows_[q] == x_rows_[q];
        if (x_rows_[q] != x) std::copy(x_rows_[q], x_rows_[q] + n_, x);
        if (!self && e_rows_[q] != e) std::copy(e_rows_[q], e_rows_[q] + n_, e);
        x_rows_[q] = x;
        e_rows_[q] = self ? x : e;
    }
    kept_ = staged_[0];
}

void pooled_accumulator::begin(step s) {
    if (s == step::provisional && c_.copy_hi.empty()) {
        for (folded* f : {&w_sum_, &s_, &c_, &tc_}) {
            f->copy_hi.assign(f->hi.size(), 0.0);
            f->copy_lo.assign(f->hi.size(), 0.0);
        }
    }
    step_ = s;
    copy_fresh_ = s == step::provisional && !in_copy_;
}

void pooled_accumulator::add_part(std::size_t p) noexcept {
    const part& pt = parts_[p];
    const detail::block_kernel_table& kernels = detail::active_block_kernels();
    const bool tail = step_ == step::tail || step_ == step::provisional;
    const std::size_t first = slot0(tail), m = staged_[tail];
    const step how = step_;
    const bool fresh = copy_fresh_, from_copy = in_copy_;
    // Folds block[i] by the step: into hi/lo, into the copy (started from hi/lo), or hi + lo
    // (of the copy, if one was started) with it folded in, written to out.
    auto fold_one = [how, fresh, from_copy](folded& f, std::size_t i, double* out) {
        double s, lo;
        switch (how) {
            case step::main:
            case step::tail:
                two_sum(f.hi[i], f.lo[i], f.block[i], s, lo);
                f.hi[i] = s;
                f.lo[i] = lo;
                break;
            case step::provisional:
                if (fresh)
                    two_sum(f.hi[i], f.lo[i], f.block[i], s, lo);
                else
                    two_sum(f.copy_hi[i], f.copy_lo[i], f.block[i], s, lo);
                f.copy_hi[i] = s;
                f.copy_lo[i] = lo;
                break;
            case step::snapshot:
                if (from_copy)
                    two_sum(f.copy_hi[i], f.copy_lo[i], f.block[i], s, lo);
                else
                    two_sum(f.hi[i], f.lo[i], f.block[i], s, lo);
                out[i] = s + lo;
                break;
        }
    };
    const detail::pooled_frames frames{shift_, v_.data() + first};
    if (p == 0) {
        double sw = 0.0;
        for (std::size_t k = 0; k < m; ++k) sw += u_[first + k];
        w_sum_.block[0] = sw;
        fold_one(w_sum_, 0, &out_.w);
    }
    if (pt.col_begin < pt.col_end) {
        std::fill(s_.block.begin() + pt.col_begin, s_.block.begin() + pt.col_end, 0.0);
        if (m != 0)
            kernels.add_pooled_sum(x_rows_.data() + first, frames, m, s_.block.data(), pt.col_begin,
                                   pt.col_end);
        for (std::size_t i = pt.col_begin; i < pt.col_end; ++i) fold_one(s_, i, out_.s.data());
    }
    if (pt.row_begin >= pt.row_end) return;
    const std::size_t from = pt.row_begin * n_, to = pt.row_end * n_;
    std::fill(c_.block.begin() + from, c_.block.begin() + to, 0.0);
    std::fill(tc_.block.begin() + from, tc_.block.begin() + to, 0.0);
    if (m != 0) {
        // One call, as the unweighted scan's: the frames' column panel serves both products.
        const detail::lagged_products pairs{e_rows_.data() + first, 0, tc_.block.data(),
                                            u_.data() + first};
        kernels.add_pooled_products(x_rows_.data() + first, frames, m, c_.block.data(), &pairs, 1,
                                    n_, pt.row_begin, pt.row_end, pt.work_base, work_doubles_);
    }
    for (std::size_t i = pt.row_begin; i < pt.row_end; ++i) {
        for (std::size_t j = i; j < n_; ++j) fold_one(c_, i * n_ + j, out_.c.data());
        for (std::size_t j = 0; j < n_; ++j) fold_one(tc_, i * n_ + j, out_.tc.data());
    }
}

void pooled_accumulator::end() noexcept {
    switch (step_) {
        case step::main:
        case step::tail:
            folded_pairs_ += staged_pairs_[step_ == step::tail];
            staged_[step_ == step::tail] = 0;
            staged_pairs_[step_ == step::tail] = 0;
            if (step_ == step::main) kept_ = 0;
            break;
        case step::provisional:
            copy_pairs_ = (in_copy_ ? copy_pairs_ : folded_pairs_) + staged_pairs_[1];
            in_copy_ = true;
            staged_[1] = 0;
            staged_pairs_[1] = 0;
            break;
        case step::snapshot:
            mirror_upper(out_.c.data(), n_);
            out_.pairs = (in_copy_ ? copy_pairs_ : folded_pairs_) + staged_pairs_[0];
            in_copy_ = false;
            break;
    }
}

}  // namespace lagstat::stats
