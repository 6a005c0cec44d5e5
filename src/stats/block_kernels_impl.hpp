// The block kernels, written once over a small set of vector operations and compiled once per
// instruction set. Include from exactly one .cpp per instruction set, after defining
// LAGSTAT_KERNEL_TARGET (the function attribute that selects the set, or nothing) and an `ops`
// struct (below); everything here has internal linkage, so the copies never meet at link time.
//
// ops provides:
//   vec, width                        the vector type and its number of doubles
//   tile_rows, tile_vecs              register tile: tile_rows accumulator rows x tile_vecs vectors
//                                     (frames narrower than that use one vector); where the
//                                     strip width is a multiple of tile_rows, the upper outer
//                                     product reads its rows from the column panel, unpacked
//   loadu, storeu, mul, add, sub      unaligned load/store and the separately rounded
//                                     operations (never fused)
//   mul_bcast(v, p)                   v times the double at p in every lane, rounded like mul
//                                     (AVX-512 takes the broadcast from the load unit, where a
//                                     separate broadcast instruction would compete for the
//                                     multiply and add pipes)
//
// How the results stay exact: an accumulator element is held in one vector lane while the frames
// of the block pass over it in order, and each frame contributes one rounded product and one
// rounded add, just as in the per-frame loop. Tiling and packing only change which elements are
// in flight together and where the frame values are read from, never the sequence of operations
// any element sees.
//
// The outer products run over panels: a chunk of frames copied into a layout the register tile
// walks contiguously (a tile's rows, or its columns, of frame k, then of frame k + 1, ...),
// zero-padded past the frame's end. One row group of the row panel stays in L1 while the strips
// of the column panel stream past it from L2, and the accumulator tiles are visited along rows.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "stats/kernel_dispatch.hpp"

#ifndef LAGSTAT_KERNEL_TARGET
#error "define LAGSTAT_KERNEL_TARGET before including block_kernels_impl.hpp"
#endif

namespace lagstat::stats::detail {
namespace {

template <class Ops>
struct block_impl {
    using vec = typename Ops::vec;
    static constexpr std::size_t vl = Ops::width;
    static constexpr std::size_t tile_r = Ops::tile_rows;
    static constexpr std::size_t full_w = Ops::tile_vecs * vl;
    static constexpr std::size_t chunk = panel_chunk_frames;
    static_assert(row_band_step % tile_r == 0, "row bands must hold whole register tiles");

    static constexpr std::size_t round_up(std::size_t x, std::size_t to) {
        return (x + to - 1) / to * to;
    }

    /// acc[r*ld + j] += a_k[r] * b_k[j] for the tile_r x (tile_v * vl) tile, k = 0..m-1 in order;
    /// a_k = a + k * a_step, b_k = b + k * b_step (panels).
    template <std::size_t tile_v>
    LAGSTAT_KERNEL_TARGET static inline void tile(double* acc, std::size_t ld, const double* a,
                                                  std::size_t a_step, const double* b,
                                                  std::size_t b_step, std::size_t m) {
        vec c[tile_r][tile_v];
#pragma GCC unroll 16
        for (std::size_t r = 0; r < tile_r; ++r) {
#pragma GCC unroll 16
            for (std::size_t v = 0; v < tile_v; ++v) c[r][v] = Ops::loadu(acc + r * ld + v * vl);
        }
        for (std::size_t k = 0; k < m; ++k, a += a_step, b += b_step) {
            vec bv[tile_v];
#pragma GCC unroll 16
            for (std::size_t v = 0; v < tile_v; ++v) bv[v] = Ops::loadu(b + v * vl);
#pragma GCC unroll 16
            for (std::size_t r = 0; r < tile_r; ++r) {
#pragma GCC unroll 16
                for (std::size_t v = 0; v < tile_v; ++v)
                    c[r][v] = Ops::add(c[r][v], Ops::mul_bcast(bv[v], a + r));
            }
        }
#pragma GCC unroll 16
        for (std::size_t r = 0; r < tile_r; ++r) {
#pragma GCC unroll 16
            for (std::size_t v = 0; v < tile_v; ++v) Ops::storeu(acc + r * ld + v * vl, c[r][v]);
        }
    }

    /// Columns [first, first + a multiple of width) of a chunk of kc frames, packed in groups of
    /// `width` columns, each group frame after frame.
    struct panel {
        const double* base;
        std::size_t first, width, kc;
        /// Column col of the chunk's frame k; the next frame's is `width` doubles on.
        const double* at(std::size_t col, std::size_t k) const {
            const std::size_t x = col - first;
            return base + (x / width * kc + k) * width + x % width;
        }
    };

    /// How a value enters a panel: as it is, less the shift, or less the shift times the frame's
    /// scale, each operation rounded.
    enum class entry { copy, less, scaled };

    /// Fills a panel (see above) at dst from frames rows[0..kc), 0.0 at and past column n,
    /// value i of frame k entering as x_k[i], x_k[i] - shift[i] or scale[k] (x_k[i] - shift[i]).
    template <std::size_t width, entry how>
    LAGSTAT_KERNEL_TARGET static void pack(const double* const* rows, std::size_t kc, std::size_t n,
                                           std::size_t first, std::size_t cols, double* dst,
                                           const double* shift = nullptr,
                                           const double* scale = nullptr) {
        constexpr std::size_t vecs = width / vl;
        const std::size_t groups = cols / width;
        for (std::size_t k = 0; k < kc; ++k) {
            const double* x = rows[k];
            auto value = [&](std::size_t i) {
                if constexpr (how == entry::copy) return x[i];
                if constexpr (how == entry::less) return x[i] - shift[i];
                if constexpr (how == entry::scaled) return scale[k] * (x[i] - shift[i]);
            };
            for (std::size_t g = 0; g < groups; ++g) {
                double* d = dst + (g * kc + k) * width;
                const std::size_t col = first + g * width;
                if (col + width > n) {
                    const std::size_t valid = col < n ? n - col : 0;
                    for (std::size_t w = 0; w < width; ++w) d[w] = w < valid ? value(col + w) : 0.0;
                } else if constexpr (how == entry::copy) {
                    std::memcpy(d, x + col, width * sizeof(double));
                } else {
#pragma GCC unroll 16
                    for (std::size_t u = 0; u < vecs; ++u) {
                        const std::size_t at = col + u * vl;
                        const vec a = Ops::sub(Ops::loadu(x + at), Ops::loadu(shift + at));
                        Ops::storeu(d + u * vl,
                                    how == entry::scaled ? Ops::mul_bcast(a, scale + k) : a);
                    }
#pragma GCC unroll 16
                    for (std::size_t w = vecs * vl; w < width; ++w) d[w] = value(col + w);
                }
            }
        }
    }

    /// The tile of c at rows i0.., columns j0.. over m frames (a, b as for tile()). With `upper`,
    /// only elements with j >= i change.
    ///
    /// A wide tile that reaches past the last column or across the diagonal is split into tiles
    /// one vector wide, which skip what lies wholly below the diagonal; a one-vector tile that
    /// still reaches past the matrix or across the diagonal works on a copy of its elements, of
    /// which only its own go back.
    template <std::size_t tile_v>
    LAGSTAT_KERNEL_TARGET static void one_tile(const double* a, std::size_t a_step, const double* b,
                                               std::size_t b_step, std::size_t m, double* c,
                                               std::size_t n, std::size_t i0, std::size_t j0,
                                               bool upper) {
        constexpr std::size_t tile_w = tile_v * vl;
        const std::size_t i_end = std::min(n, i0 + tile_r);
        const std::size_t j_end = std::min(n, j0 + tile_w);
        const bool rows_fit = i_end == i0 + tile_r;
        if (rows_fit && j_end == j0 + tile_w && (!upper || i0 + tile_r - 1 <= j0)) {
            tile<tile_v>(c + i0 * n + j0, n, a, a_step, b, b_step, m);
            return;
        }
        if constexpr (tile_v > 1) {
            for (std::size_t v = 0; v < tile_v; ++v) {
                const std::size_t jv = j0 + v * vl;
                if (jv >= n || (upper && jv + vl <= i0)) continue;
                one_tile<1>(a, a_step, b + v * vl, b_step, m, c, n, i0, jv, upper);
            }
        } else {
            alignas(64) double acc[tile_r * tile_w] = {};
            for (std::size_t i = i0; i < i_end; ++i) {
                for (std::size_t j = upper ? std::max(i, j0) : j0; j < j_end; ++j)
                    acc[(i - i0) * tile_w + (j - j0)] = c[i * n + j];
            }
            tile<1>(acc, tile_w, a, a_step, b, b_step, m);
            for (std::size_t i = i0; i < i_end; ++i) {
                for (std::size_t j = upper ? std::max(i, j0) : j0; j < j_end; ++j)
                    c[i * n + j] = acc[(i - i0) * tile_w + (j - j0)];
            }
        }
    }

    /// c[i*n + j] += a_k[i] * b_k[j] over m frames, for rows [i_begin, i_stop) from panel pa
    /// (frames from ka on) and columns [j_begin, j_stop) from panel pb (frames from kb on);
    /// i_begin a multiple of tile_r, j_begin of the strip width. With `upper`, only j >= i.
    /// Row group after row group, so that a group's frames stay in L1 while the strips pass.
    template <std::size_t tile_v>
    LAGSTAT_KERNEL_TARGET static void sweep(const panel& pa, std::size_t ka, const panel& pb,
                                            std::size_t kb, std::size_t m, double* c, std::size_t n,
                                            std::size_t i_begin, std::size_t i_stop,
                                            std::size_t j_begin, std::size_t j_stop, bool upper) {
        constexpr std::size_t tile_w = tile_v * vl;
        for (std::size_t i0 = i_begin; i0 < i_stop; i0 += tile_r) {
            const double* a = pa.at(i0, ka);
            // With `upper`, strips ending at or before row i0 hold nothing of this group.
            const std::size_t j_from = upper ? std::max(j_begin, i0 / tile_w * tile_w) : j_begin;
            for (std::size_t j0 = j_from; j0 < j_stop; j0 += tile_w)
                one_tile<tile_v>(a, pa.width, pb.at(j0, kb), pb.width, m, c, n, i0, j0, upper);
        }
    }

    /// The outer products of one block over the rows [row_begin, row_end) of c and tc: c +=
    /// rows[k] rows[k]^T (upper triangle) for k in [0, m), and tc += earlier[p] rows[first +
    /// p]^T for p in [0, m - first); a null c or tc skips that sum. Threads that split the rows
    /// this way touch disjoint elements, each of which still sees every frame in order.
    ///
    /// Frames go in chunks; a chunk's frames are packed once into the column panel, which both
    /// sums use, and into the row panel of the earlier frames. Where the row groups lie within
    /// the strips, c's rows are read straight from the column panel. With a workspace smaller
    /// than full_work(n), the panels cover the columns and rows piece by piece.
    ///
    /// Several lags at once (lagged_products each): the column panel of a chunk is packed once
    /// for cov and every lag, whose sums are independent elements.
    ///
    /// With c_left (not null), c += c_left[k] rows[k]^T instead (upper triangle): the row panel
    /// of c is packed from c_left, so a weighted sum rounds each product as (w x_i) x_j.
    ///
    /// pooled: the frames enter less f->shift, c's left factor as f->scale[k] times that (c_left
    /// is then ignored), a lag's earlier frames by its scale.
    template <std::size_t tile_v, bool pooled = false>
    LAGSTAT_KERNEL_TARGET static void products(const double* const* rows,
                                               const double* const* c_left, std::size_t m,
                                               double* c, const lagged_products* lags,
                                               std::size_t count, std::size_t n,
                                               std::size_t row_begin, std::size_t row_end,
                                               double* work, std::size_t work_doubles,
                                               const pooled_frames* f = nullptr) {
        constexpr entry frames = pooled ? entry::less : entry::copy;
        constexpr entry factors = pooled ? entry::scaled : entry::copy;
        constexpr std::size_t tile_w = tile_v * vl;
        const std::size_t rows_all = round_up(n, tile_r), cols_all = round_up(n, tile_w);
        row_end = std::min(row_end, n);
        if (row_begin >= row_end) return;
        const std::size_t rows_top = std::min(round_up(row_end, tile_r), rows_all);
        std::size_t cols_piece = cols_all, rows_piece = rows_all;
        if ((rows_all + cols_all) * chunk > work_doubles) {
            const std::size_t half = work_doubles / chunk / 2;
            cols_piece = std::max(tile_w, half / tile_w * tile_w);
            rows_piece = std::max(tile_r, (work_doubles / chunk - cols_piece) / tile_r * tile_r);
        }
        double* const pb_base = work;
        double* const pa_base = work + cols_piece * chunk;
        const bool c_rows_in_strips =
            c_left == nullptr && !pooled && tile_w % tile_r == 0 && cols_piece == cols_all;
        const double* const* left = c_left != nullptr && !pooled ? c_left : rows;
        const double* const shift = pooled ? f->shift : nullptr;

        for (std::size_t k0 = 0; k0 < m; k0 += chunk) {
            const std::size_t kc = std::min(chunk, m - k0);
            // Is any lag's pair's later frame in this chunk?
            std::size_t pairs = 0;
            for (std::size_t l = 0; l < count; ++l) {
                const std::size_t first = lags[l].tc != nullptr ? lags[l].first : m;
                const std::size_t t0 = std::max(k0, first);
                pairs += k0 + kc > t0 ? k0 + kc - t0 : 0;
            }
            for (std::size_t j0 = 0; j0 < n; j0 += cols_piece) {
                const std::size_t cols = std::min(cols_piece, cols_all - j0);
                const std::size_t j_stop = std::min(n, j0 + cols);
                // The upper triangle of the band lies in columns from row_begin on.
                const bool c_here = c != nullptr && j_stop > row_begin;
                if (!c_here && pairs == 0) continue;
                pack<tile_w, frames>(rows + k0, kc, n, j0, cols, pb_base, shift);
                const panel pb{pb_base, j0, tile_w, kc};
                if (c_here) {
                    const std::size_t i_stop = std::min(j_stop, row_end);
                    if (c_rows_in_strips) {
                        sweep<tile_v>(pb, 0, pb, 0, kc, c, n, row_begin, i_stop, j0, j_stop, true);
                    } else {
                        for (std::size_t i0 = row_begin; i0 < i_stop; i0 += rows_piece) {
                            const std::size_t rws = std::min(rows_piece, rows_top - i0);
                            pack<tile_r, factors>(left + k0, kc, n, i0, rws, pa_base, shift,
                                                  pooled ? f->scale + k0 : nullptr);
                            const panel pa{pa_base, i0, tile_r, kc};
                            sweep<tile_v>(pa, 0, pb, 0, kc, c, n, i0, std::min(i_stop, i0 + rws),
                                          j0, j_stop, true);
                        }
                    }
                }
                for (std::size_t l = 0; l < count && pairs != 0; ++l) {
                    // This lag's pairs whose later frame lies in the chunk: [t0, k0 + kc).
                    if (lags[l].tc == nullptr) continue;
                    const std::size_t first = lags[l].first;
                    const std::size_t t0 = std::max(k0, first);
                    if (k0 + kc <= t0) continue;
                    const std::size_t lag_pairs = k0 + kc - t0;
                    for (std::size_t i0 = row_begin; i0 < row_end; i0 += rows_piece) {
                        const std::size_t rws = std::min(rows_piece, rows_top - i0);
                        pack<tile_r, factors>(lags[l].earlier + (t0 - first), lag_pairs, n, i0, rws,
                                              pa_base, shift,
                                              pooled ? lags[l].scale + (t0 - first) : nullptr);
                        const panel pa{pa_base, i0, tile_r, lag_pairs};
                        sweep<tile_v>(pa, 0, pb, t0 - k0, lag_pairs, lags[l].tc, n, i0,
                                      std::min(row_end, i0 + rws), j0, j_stop, false);
                    }
                }
            }
        }
    }

    // Frames narrower than the full tile use strips one vector wide, which waste fewer lanes.
    static void moment_products(const double* const* rows, std::size_t m, double* c,
                                const double* const* earlier, std::size_t first, double* tc,
                                std::size_t n, std::size_t row_begin, std::size_t row_end,
                                double* work, std::size_t work_doubles) {
        const lagged_products one{earlier, first, tc};
        lagged_moment_products(rows, m, c, &one, 1, n, row_begin, row_end, work, work_doubles);
    }

    static void lagged_moment_products(const double* const* rows, std::size_t m, double* c,
                                       const lagged_products* lags, std::size_t count,
                                       std::size_t n, std::size_t row_begin, std::size_t row_end,
                                       double* work, std::size_t work_doubles) {
        weighted_moment_products(rows, nullptr, m, c, lags, count, n, row_begin, row_end, work,
                                 work_doubles);
    }

    static void weighted_moment_products(const double* const* rows, const double* const* left,
                                         std::size_t m, double* c, const lagged_products* lags,
                                         std::size_t count, std::size_t n, std::size_t row_begin,
                                         std::size_t row_end, double* work,
                                         std::size_t work_doubles) {
        if (n >= full_w)
            products<Ops::tile_vecs>(rows, left, m, c, lags, count, n, row_begin, row_end, work,
                                     work_doubles);
        else
            products<1>(rows, left, m, c, lags, count, n, row_begin, row_end, work, work_doubles);
    }

    static void pooled_moment_products(const double* const* rows, const pooled_frames& f,
                                       std::size_t m, double* c, const lagged_products* lags,
                                       std::size_t count, std::size_t n, std::size_t row_begin,
                                       std::size_t row_end, double* work,
                                       std::size_t work_doubles) {
        if (n >= full_w)
            products<Ops::tile_vecs, true>(rows, nullptr, m, c, lags, count, n, row_begin, row_end,
                                           work, work_doubles, &f);
        else
            products<1, true>(rows, nullptr, m, c, lags, count, n, row_begin, row_end, work,
                              work_doubles, &f);
    }

    /// What elementwise() adds of value i of frame k: the value, its square, or (pooled frames)
    /// v_k (x - shift_i), each operation rounded.
    enum class term { value, square, pooled };
    template <term t>
    LAGSTAT_KERNEL_TARGET static inline vec term_of(vec x, const pooled_frames* f, std::size_t k,
                                                    std::size_t i) {
        if constexpr (t == term::value) return x;
        if constexpr (t == term::square) return Ops::mul(x, x);
        if constexpr (t == term::pooled)
            return Ops::mul_bcast(Ops::sub(x, Ops::loadu(f->shift + i)), f->scale + k);
    }
    template <term t>
    LAGSTAT_KERNEL_TARGET static inline double term_of(double x, const pooled_frames* f,
                                                       std::size_t k, std::size_t i) {
        if constexpr (t == term::value) return x;
        if constexpr (t == term::square) return x * x;
        if constexpr (t == term::pooled) return f->scale[k] * (x - f->shift[i]);
    }

    /// s[i] += term(rows[k][i]) for i in [begin, end), k in order.
    template <term t>
    LAGSTAT_KERNEL_TARGET static void elementwise(const double* const* rows, std::size_t m,
                                                  double* s, std::size_t begin, std::size_t end,
                                                  const pooled_frames* f = nullptr) {
        constexpr std::size_t unroll = 4;
        std::size_t i = begin;
        for (; i + unroll * vl <= end; i += unroll * vl) {
            vec a[unroll];
#pragma GCC unroll 16
            for (std::size_t u = 0; u < unroll; ++u) a[u] = Ops::loadu(s + i + u * vl);
            for (std::size_t k = 0; k < m; ++k) {
                const double* x = rows[k] + i;
#pragma GCC unroll 16
                for (std::size_t u = 0; u < unroll; ++u)
                    a[u] = Ops::add(a[u], term_of<t>(Ops::loadu(x + u * vl), f, k, i + u * vl));
            }
#pragma GCC unroll 16
            for (std::size_t u = 0; u < unroll; ++u) Ops::storeu(s + i + u * vl, a[u]);
        }
        for (; i + vl <= end; i += vl) {
            vec a = Ops::loadu(s + i);
            for (std::size_t k = 0; k < m; ++k)
                a = Ops::add(a, term_of<t>(Ops::loadu(rows[k] + i), f, k, i));
            Ops::storeu(s + i, a);
        }
        // The last columns (fewer than a vector) side by side, frame by frame: each sum is a
        // chain of dependent adds, and chains one after another would cost the tail's width
        // times a vector column's time (a 10-column pass 1 split 8 + 2 between two threads
        // would wait on the 2).
        using tail_fn =
            void (*)(const double* const*, std::size_t, double*, std::size_t, const pooled_frames*);
        static constexpr tail_fn tails[] = {
            &tail_columns<1, t>, &tail_columns<2, t>, &tail_columns<3, t>, &tail_columns<4, t>,
            &tail_columns<5, t>, &tail_columns<6, t>, &tail_columns<7, t>};
        static_assert(vl <= 8, "a tail is at most seven columns");
        if (end > i) tails[end - i - 1](rows, m, s + i, i, f);
    }

    // Columns [i, i + W) of every frame into s[0, W), with the W sums held in registers.
    template <std::size_t W, term t>
    LAGSTAT_KERNEL_TARGET static void tail_columns(const double* const* rows, std::size_t m,
                                                   double* s, std::size_t i,
                                                   const pooled_frames* f) {
        double a[W];
#pragma GCC unroll 8
        for (std::size_t j = 0; j < W; ++j) a[j] = s[j];
        for (std::size_t k = 0; k < m; ++k) {
            const double* x = rows[k] + i;
#pragma GCC unroll 8
            for (std::size_t j = 0; j < W; ++j) a[j] = a[j] + term_of<t>(x[j], f, k, i + j);
        }
#pragma GCC unroll 8
        for (std::size_t j = 0; j < W; ++j) s[j] = a[j];
    }

    static void add_sum(const double* const* rows, std::size_t m, double* s, std::size_t begin,
                        std::size_t end) {
        elementwise<term::value>(rows, m, s, begin, end);
    }
    static void add_squares(const double* const* rows, std::size_t m, double* q,
                            std::size_t begin, std::size_t end) {
        elementwise<term::square>(rows, m, q, begin, end);
    }
    static void pooled_sum(const double* const* rows, const pooled_frames& f, std::size_t m,
                           double* s, std::size_t begin, std::size_t end) {
        elementwise<term::pooled>(rows, m, s, begin, end, &f);
    }

    // The staging of weighted pairs, left to the compiler's vectoriser for this set: the rows
    // never overlap (restrict), and contiguous frames (every in-memory array and read chunk)
    // get a loop without strides. At a few columns it costs as much as the products.
    LAGSTAT_KERNEL_TARGET static void stage_weighted_pairs(strided_block x, strided_block y,
                                                           const double* w, std::size_t w_stride,
                                                           std::size_t m, const double* s,
                                                           std::size_t n, double* xd, double* yd,
                                                           double* wx, double* wy) {
        for (std::size_t k = 0; k < m; ++k) {
            const std::size_t at = k * n;
            stage_one(x.data + k * x.stride, x.step, y.data + k * y.stride, y.step, s,
                      w[k * w_stride], n, xd + at, yd + at, wx + at, wy + at);
        }
    }

    LAGSTAT_KERNEL_TARGET static inline void stage_one(const double* __restrict x, std::size_t xs,
                                                       const double* __restrict y, std::size_t ys,
                                                       const double* __restrict s, double w,
                                                       std::size_t n, double* __restrict xd,
                                                       double* __restrict yd, double* __restrict wx,
                                                       double* __restrict wy) {
        if (xs == 1 && ys == 1) {
            for (std::size_t i = 0; i < n; ++i) {
                const double a = x[i] - s[i], b = y[i] - s[i];
                xd[i] = a;
                yd[i] = b;
                wx[i] = w * a;
                wy[i] = w * b;
            }
            return;
        }
        for (std::size_t i = 0; i < n; ++i) {
            const double a = x[i * xs] - s[i], b = y[i * ys] - s[i];
            xd[i] = a;
            yd[i] = b;
            wx[i] = w * a;
            wy[i] = w * b;
        }
    }

    static std::size_t min_work(std::size_t) {
        return (tile_r + full_w) * chunk;
    }
    static std::size_t full_work(std::size_t n) {
        return (round_up(n, tile_r) + round_up(n, full_w)) * chunk;
    }

    static constexpr block_kernel_table table(const char* name) {
        return {name,
                &add_sum,
                &add_squares,
                &min_work,
                &full_work,
                &moment_products,
                &lagged_moment_products,
                &weighted_moment_products,
                &pooled_moment_products,
                &pooled_sum,
                &stage_weighted_pairs};
    }
};

}  // namespace
}  // namespace lagstat::stats::detail
