// Bootstrap replicates' pair moments (replicate_moments.hpp). Every expression below is the
// estimator's NumPy expression for one element, written in the same order of operations: the
// build never fuses a multiply with an add, so each element gets the bits NumPy gives it.
#include "stats/replicate_moments.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "cpu/isa.hpp"

#define LAGSTAT_ALWAYS_INLINE __attribute__((always_inline)) inline

namespace lagstat::stats {
namespace {

// A double-double: the exact sum hi + lo.
struct dd {
    double hi, lo;
};

LAGSTAT_ALWAYS_INLINE dd two_sum(double a, double b) {
    const double s = a + b;
    const double bb = s - a;
    return {s, (a - (s - bb)) + (b - bb)};
}

// Dekker's product with Veltkamp's split into 26-bit halves: a * b = hi + lo exactly.
LAGSTAT_ALWAYS_INLINE dd two_product(double a, double b) {
    constexpr double split = 134217729.0;  // 2^27 + 1
    const double p = a * b;
    double t = split * a;
    const double ah = t - (t - a);
    const double al = a - ah;
    t = split * b;
    const double bh = t - (t - b);
    const double bl = b - bh;
    return {p, (((ah * bh - p) + ah * bl) + al * bh) + al * bl};
}

LAGSTAT_ALWAYS_INLINE dd add(dd x, dd y) {
    const dd s = two_sum(x.hi, y.hi);
    return {s.hi, s.lo + (x.lo + y.lo)};
}

LAGSTAT_ALWAYS_INLINE dd neg(dd x) {
    return {-x.hi, -x.lo};
}

LAGSTAT_ALWAYS_INLINE dd mul(dd x, dd y) {
    const dd p = two_product(x.hi, y.hi);
    return {p.hi, p.lo + (x.hi * y.lo + x.lo * y.hi)};
}

// x - m - mt: a matrix less a rank-one term and its transpose.
LAGSTAT_ALWAYS_INLINE dd less(dd x, dd m, dd mt) {
    return add(add(x, neg(m)), neg(mt));
}

// x / c rounded once: the quotient, corrected by the remainder's share.
LAGSTAT_ALWAYS_INLINE double divide_hi(dd x, double c) {
    const double q = x.hi / c;
    const dd p = two_product(q, c);
    return q + (((x.hi - p.hi) - p.lo) + x.lo) / c;
}

// The vectors of a replicate in the workspace: u (hi, lo) and d (hi, lo), n values each.
struct centre {
    const double *u_hi, *u_lo, *d_hi, *d_lo;
    explicit centre(const double* v, std::size_t n)
        : u_hi(v), u_lo(v + n), d_hi(v + 2 * n), d_lo(v + 3 * n) {}
};

// out[k] = the drawn groups' a[k + at], k < count, added in the order drawn.
LAGSTAT_ALWAYS_INLINE void drawn(const std::vector<const double*>& a, const std::int64_t* picks,
                                 std::size_t per_replicate, std::size_t at, std::size_t count,
                                 double* out) {
    const double* first = a[static_cast<std::size_t>(picks[0])] + at;
    for (std::size_t j = 0; j < count; ++j) out[j] = first[j];
    for (std::size_t k = 1; k < per_replicate; ++k) {
        const double* next = a[static_cast<std::size_t>(picks[k])] + at;
        for (std::size_t j = 0; j < count; ++j) out[j] += next[j];
    }
}

// Columns of a row handled at once: every group's piece of the row, four arrays of them, stays
// in the first-level cache while every replicate of the batch adds its draws (20 groups: 20 KiB).
constexpr std::size_t row_piece = 32;
// Rows and columns of the tiles in which C0t is taken from the drawn lagged sums and their
// transpose: the tiles of both kinds fit in the first-level cache.
constexpr std::size_t tile = 32;

// Vectors of doubles of the width each build has (GCC's vector extensions): 2, 4 or 8 lanes.
typedef double v2 __attribute__((vector_size(16)));
typedef double v4 __attribute__((vector_size(32)));
typedef double v8 __attribute__((vector_size(64)));

// acc[e] = piece(0)[e] + piece(1)[e] + ..., left to right, for the four vectors of V at acc;
// offsets[k] is the k-th draw's piece in stage. The sums stay in registers over the draws.
template <class V>
LAGSTAT_ALWAYS_INLINE void sum_drawn(const double* stage, const std::size_t* offsets,
                                     std::size_t count, double* acc) {
    constexpr std::size_t w = sizeof(V) / sizeof(double);
    const double* p = stage + offsets[0];
    V a0, a1, a2, a3, x;
    std::memcpy(&a0, p, sizeof a0);
    std::memcpy(&a1, p + w, sizeof a1);
    std::memcpy(&a2, p + 2 * w, sizeof a2);
    std::memcpy(&a3, p + 3 * w, sizeof a3);
    for (std::size_t k = 1; k < count; ++k) {
        p = stage + offsets[k];
        std::memcpy(&x, p, sizeof x);
        a0 += x;
        std::memcpy(&x, p + w, sizeof x);
        a1 += x;
        std::memcpy(&x, p + 2 * w, sizeof x);
        a2 += x;
        std::memcpy(&x, p + 3 * w, sizeof x);
        a3 += x;
    }
    std::memcpy(acc, &a0, sizeof a0);
    std::memcpy(acc + w, &a1, sizeof a1);
    std::memcpy(acc + 2 * w, &a2, sizeof a2);
    std::memcpy(acc + 3 * w, &a3, sizeof a3);
}

template <class V>
LAGSTAT_ALWAYS_INLINE void rows_body(const replicate_groups& g, const replicate_batch& b,
                                     std::size_t first, std::size_t last, double* stage,
                                     const replicate_workspace& w) {
    const std::size_t n = g.n, groups = g.size(), picks = b.per_replicate;
    const std::vector<const double*>* kinds[4] = {&g.cov, &g.tail_cov, &g.head_cov, &g.tcov};
    // a piece of each kind's drawn sums, padded to whole blocks
    alignas(64) double piece[4][row_piece];
    for (std::size_t i = first; i < last; ++i) {
        for (std::size_t j0 = 0; j0 < n; j0 += row_piece) {
            const std::size_t count = std::min(row_piece, n - j0), at = i * n + j0;
            // every group's piece of the row side by side, zero-padded to whole blocks: the
            // groups' arrays all start on a page, so reading them at one offset would crowd a
            // few cache sets
            for (std::size_t q = 0; q < 4; ++q)
                for (std::size_t k = 0; k < groups; ++k) {
                    double* to = stage + (q * groups + k) * row_piece;
                    std::copy((*kinds[q])[k] + at, (*kinds[q])[k] + at + count, to);
                    std::fill(to + count, to + row_piece, 0.0);
                }
            for (std::size_t r = 0; r < b.replicates; ++r) {
                const std::size_t* offsets = w.offsets(r);
                constexpr std::size_t block = 4 * sizeof(V) / sizeof(double);
                static_assert(row_piece % block == 0, "pieces hold whole blocks");
                for (std::size_t q = 0; q < 4; ++q)
                    for (std::size_t j = 0; j < count; j += block)
                        sum_drawn<V>(stage + q * groups * row_piece + j, offsets, picks,
                                     piece[q] + j);
                const centre m(w.vectors(r), n);
                const double c = 2.0 * b.pairs[r];
                const dd u_i{m.u_hi[i], m.u_lo[i]}, d_i{m.d_hi[i], m.d_lo[i]};
                const double *u_hi = m.u_hi + j0, *u_lo = m.u_lo + j0;
                const double *d_hi = m.d_hi + j0, *d_lo = m.d_lo + j0;
                double* out = b.c00 + r * n * n + at;
                double* lagged = b.c0t + r * n * n + at;
                for (std::size_t k = 0; k < count; ++k) {
                    // both halves' products: 2 cov - tail_cov - head_cov
                    const dd both =
                        add(two_sum(2.0 * piece[0][k], -piece[1][k]), {-piece[2][k], -0.0});
                    const dd w_ij = mul(u_i, {d_hi[k], d_lo[k]});
                    const dd w_ji = mul({u_hi[k], u_lo[k]}, d_i);
                    out[k] = divide_hi(less(both, w_ij, w_ji), c);
                    lagged[k] = piece[3][k];
                }
            }
        }
    }
}

// C0t of the tile rows [i0, i0 + ni) x columns [j0, j0 + nj) from the drawn lagged sums t
// (n x n) and the transposed tile tt (tt[j * tile + i] = t[(i0 + i) * n + j0 + j]'s mirror
// t[(j0 + j) * n + i0 + i]), into out[i * tile + j].
LAGSTAT_ALWAYS_INLINE void lagged_tile(const double* t, const double* tt, std::size_t n,
                                       const centre& m, double c, std::size_t i0, std::size_t ni,
                                       std::size_t j0, std::size_t nj, double* out) {
    for (std::size_t i = 0; i < ni; ++i) {
        const std::size_t gi = i0 + i;
        const dd u_i{m.u_hi[gi], m.u_lo[gi]}, d_i{m.d_hi[gi], m.d_lo[gi]};
        const double* row = t + gi * n + j0;
        const double* mirror = tt + i * tile;
        for (std::size_t j = 0; j < nj; ++j) {
            const std::size_t gj = j0 + j;
            const dd w_ij = mul(u_i, {m.d_hi[gj], m.d_lo[gj]});
            const dd w_ji = mul({m.u_hi[gj], m.u_lo[gj]}, d_i);
            out[i * tile + j] = divide_hi(less(two_sum(row[j], mirror[j]), w_ij, w_ji), c);
        }
    }
}

// Copies the tile rows [r0, r0 + nr) x columns [c0, c0 + nc) of a (n x n) into dst transposed:
// dst[j * tile + i] = a[(r0 + i) * n + c0 + j].
LAGSTAT_ALWAYS_INLINE void transpose_tile(const double* a, std::size_t n, std::size_t r0,
                                          std::size_t nr, std::size_t c0, std::size_t nc,
                                          double* dst) {
    for (std::size_t i = 0; i < nr; ++i)
        for (std::size_t j = 0; j < nc; ++j) dst[j * tile + i] = a[(r0 + i) * n + c0 + j];
}

LAGSTAT_ALWAYS_INLINE void lagged_body(const replicate_groups& g, const replicate_batch& b,
                                       std::size_t first, std::size_t last,
                                       const replicate_workspace& w) {
    const std::size_t n = g.n;
    alignas(64) double upper[tile * tile], lower[tile * tile], mirror[tile * tile];
    for (std::size_t r = first; r < last; ++r) {
        const centre m(w.vectors(r), n);
        const double c = 2.0 * b.pairs[r];
        double* t = b.c0t + r * n * n;
        // C0t_ij from T_ij + T_ji: the tiles (I, J) and (J, I) are read before either is written.
        for (std::size_t i0 = 0; i0 < n; i0 += tile) {
            const std::size_t ni = std::min(tile, n - i0);
            for (std::size_t j0 = i0; j0 < n; j0 += tile) {
                const std::size_t nj = std::min(tile, n - j0);
                // (I, J) with the mirror of (J, I), then (J, I) with the mirror of (I, J)
                transpose_tile(t, n, j0, nj, i0, ni, mirror);
                lagged_tile(t, mirror, n, m, c, i0, ni, j0, nj, upper);
                if (j0 != i0) {  // the diagonal tile is its own mirror
                    transpose_tile(t, n, i0, ni, j0, nj, mirror);
                    lagged_tile(t, mirror, n, m, c, j0, nj, i0, ni, lower);
                }
                // written symmetrised, (C0t + C0tᵀ) / 2, as the reversible eigenproblem takes it
                if (j0 == i0) {
                    for (std::size_t i = 0; i < ni; ++i)
                        for (std::size_t j = 0; j < ni; ++j)
                            t[(i0 + i) * n + i0 + j] =
                                0.5 * (upper[i * tile + j] + upper[j * tile + i]);
                    continue;
                }
                for (std::size_t i = 0; i < ni; ++i)
                    for (std::size_t j = 0; j < nj; ++j)
                        t[(i0 + i) * n + j0 + j] =
                            0.5 * (upper[i * tile + j] + lower[j * tile + i]);
                for (std::size_t j = 0; j < nj; ++j)
                    for (std::size_t i = 0; i < ni; ++i)
                        t[(j0 + j) * n + i0 + i] =
                            0.5 * (lower[j * tile + i] + upper[i * tile + j]);
            }
        }
    }
}

// A step of the batch for rows or replicates [first, last), with a thread's staging buffer.
using step_fn = void (*)(const replicate_groups&, const replicate_batch&, std::size_t, std::size_t,
                         double*, const replicate_workspace&);

#define LAGSTAT_REPLICATE_STEPS(suffix, target, V)                                   \
    target void rows_##suffix(const replicate_groups& g, const replicate_batch& b,   \
                              std::size_t first, std::size_t last, double* stage,    \
                              const replicate_workspace& w) {                        \
        rows_body<V>(g, b, first, last, stage, w);                                   \
    }                                                                                \
    target void lagged_##suffix(const replicate_groups& g, const replicate_batch& b, \
                                std::size_t first, std::size_t last, double*,        \
                                const replicate_workspace& w) {                      \
        lagged_body(g, b, first, last, w);                                           \
    }

LAGSTAT_REPLICATE_STEPS(generic, , v2)
#if defined(__x86_64__) || defined(__i386__)
// The same element loops built for wider vectors: lanes hold different elements, each element
// sees the same operations, so every set gives the same bits.
LAGSTAT_REPLICATE_STEPS(avx2, __attribute__((target("avx2"))), v4)
LAGSTAT_REPLICATE_STEPS(avx512, __attribute__((target("avx512f"))), v8)
#define LAGSTAT_REPLICATE_BUILDS(step) step##_generic, step##_avx2, step##_avx512
#else
#define LAGSTAT_REPLICATE_BUILDS(step) step##_generic, nullptr, nullptr
#endif

// The build of a step for the instruction set in use.
step_fn pick(step_fn generic, step_fn avx2, step_fn avx512) {
    switch (cpu::active_isa()) {
        case cpu::isa::avx512:
            return avx512 != nullptr ? avx512 : generic;
        case cpu::isa::avx2:
            return avx2 != nullptr ? avx2 : generic;
        default:
            return generic;
    }
}

}  // namespace

replicate_workspace::replicate_workspace(const replicate_groups& g, const replicate_batch& b,
                                         std::size_t threads)
    : n_(g.n),
      picks_(b.per_replicate),
      threads_(threads),
      data_(4 * g.n * b.replicates),
      stage_(threads * 4 * g.size() * row_piece),
      offsets_(b.replicates * b.per_replicate) {
    // where each draw's piece lies in a staged row
    for (std::size_t k = 0; k < offsets_.size(); ++k)
        offsets_[k] = static_cast<std::size_t>(b.draws[k]) * row_piece;
}

double* replicate_workspace::stage(std::size_t thread) noexcept {
    return stage_.data() + thread * (stage_.size() / threads_);
}

void replicate_vectors(const replicate_groups& g, const replicate_batch& b, std::size_t first,
                       std::size_t last, replicate_workspace& w) {
    const std::size_t n = g.n;
    for (std::size_t r = first; r < last; ++r) {
        const std::int64_t* picks = b.draws + r * b.per_replicate;
        const double p = b.pairs[r], c = 2.0 * p;
        double* v = w.vectors(r);
        for (std::size_t k = 0; k < n; ++k) {
            double total, tail, head;
            drawn(g.total, picks, b.per_replicate, k, 1, &total);
            drawn(g.tail_sum, picks, b.per_replicate, k, 1, &tail);
            drawn(g.head_sum, picks, b.per_replicate, k, 1, &head);
            // the pairs' first and second halves, their sum, and half its mean d = s_xy / 2p
            const dd s_xy = add(two_sum(total, -tail), two_sum(total, -head));
            const double q = s_xy.hi / c;
            const dd qc = two_product(q, c);
            const double rest = (((s_xy.hi - qc.hi) - qc.lo) + s_xy.lo) / c;
            const dd d{q + rest, rest - ((q + rest) - q)};
            // u = s_xy - p d: the rank-one terms of the move are u dᵀ + d uᵀ
            const dd pd = two_product(d.hi, p);
            const dd u = add(s_xy, neg({pd.hi, pd.lo + d.lo * p}));
            v[k] = u.hi;
            v[n + k] = u.lo;
            v[2 * n + k] = d.hi;
            v[3 * n + k] = d.lo;
        }
    }
}

void replicate_rows(const replicate_groups& g, const replicate_batch& b, std::size_t first,
                    std::size_t last, std::size_t thread, replicate_workspace& w) {
    pick(LAGSTAT_REPLICATE_BUILDS(rows))(g, b, first, last, w.stage(thread), w);
}

void replicate_lagged(const replicate_groups& g, const replicate_batch& b, std::size_t first,
                      std::size_t last, const replicate_workspace& w) {
    pick(LAGSTAT_REPLICATE_BUILDS(lagged))(g, b, first, last, nullptr, w);
}

namespace {

// Dot products of four rows x[0..3] with one row y over [0, count), each in eight lanes (lane
// e takes the terms k = e mod 8) folded pairwise: the same sums whatever the width V of the
// build's vectors, and the same as one row at a time. y is read once for the four.
template <class V, std::size_t rows>
LAGSTAT_ALWAYS_INLINE void dots(const double* const* x, const double* y, std::size_t count,
                                double* out) {
    constexpr std::size_t w = sizeof(V) / sizeof(double), parts = 8 / w;
    V acc[rows][parts], a, b;
    for (std::size_t r = 0; r < rows; ++r)
        for (std::size_t p = 0; p < parts; ++p) acc[r][p] = V{} * 0.0;
    std::size_t k = 0;
    for (; k + 8 <= count; k += 8) {
        for (std::size_t p = 0; p < parts; ++p) {
            std::memcpy(&b, y + k + p * w, sizeof b);
            for (std::size_t r = 0; r < rows; ++r) {
                std::memcpy(&a, x[r] + k + p * w, sizeof a);
                acc[r][p] += a * b;
            }
        }
    }
    for (std::size_t r = 0; r < rows; ++r) {
        double lanes[8];
        std::memcpy(lanes, acc[r], sizeof lanes);
        for (std::size_t e = 0, kk = k; kk < count; ++kk, ++e) lanes[e] += x[r][kk] * y[kk];
        out[r] = ((lanes[0] + lanes[4]) + (lanes[2] + lanes[6])) +
                 ((lanes[1] + lanes[5]) + (lanes[3] + lanes[7]));
    }
}

// Rows of the factor computed together: each row above them is read once for all of them.
constexpr std::size_t cholesky_rows = 4;

template <class V>
LAGSTAT_ALWAYS_INLINE bool cholesky_body(const double* a, std::size_t n, double shift, double* l) {
    for (std::size_t i0 = 0; i0 < n; i0 += cholesky_rows) {
        const std::size_t count = std::min(cholesky_rows, n - i0);
        const double* rows[cholesky_rows];
        for (std::size_t r = 0; r < cholesky_rows; ++r)
            rows[r] = l + (i0 + std::min(r, count - 1)) * n;
        double d[cholesky_rows];
        // the block's columns left of it, a row of L at a time
        for (std::size_t j = 0; j < i0; ++j) {
            const double* lj = l + j * n;
            dots<V, cholesky_rows>(rows, lj, j, d);
            for (std::size_t r = 0; r < count; ++r)
                l[(i0 + r) * n + j] = (a[(i0 + r) * n + j] - d[r]) / lj[j];
        }
        // then its own triangle, element by element
        for (std::size_t i = i0; i < i0 + count; ++i) {
            double* li = l + i * n;
            for (std::size_t j = i0; j <= i; ++j) {
                const double* lj = l + j * n;
                const double* one[1] = {li};
                dots<V, 1>(one, lj, j, d);
                const double s = (a[i * n + j] - (i == j ? shift : 0.0)) - d[0];
                if (i == j) {
                    if (!(s > 0.0) || !(s < HUGE_VAL)) return false;
                    li[i] = std::sqrt(s);
                } else {
                    li[j] = s / lj[j];
                }
            }
        }
    }
    return true;
}

using cholesky_fn = bool (*)(const double*, std::size_t, double, double*);

bool cholesky_generic(const double* a, std::size_t n, double shift, double* l) {
    return cholesky_body<v2>(a, n, shift, l);
}
#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx2"))) bool cholesky_avx2(const double* a, std::size_t n, double shift,
                                                   double* l) {
    return cholesky_body<v4>(a, n, shift, l);
}
__attribute__((target("avx512f"))) bool cholesky_avx512(const double* a, std::size_t n,
                                                        double shift, double* l) {
    return cholesky_body<v8>(a, n, shift, l);
}
#endif

}  // namespace

bool cholesky_exists(const double* a, std::size_t n, double shift, double* work) noexcept {
    cholesky_fn f = cholesky_generic;
#if defined(__x86_64__) || defined(__i386__)
    if (cpu::active_isa() == cpu::isa::avx512) f = cholesky_avx512;
    if (cpu::active_isa() == cpu::isa::avx2) f = cholesky_avx2;
#endif
    return f(a, n, shift, work);
}

}  // namespace lagstat::stats
