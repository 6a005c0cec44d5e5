// The block kernels, written once over a small set of vector operations and compiled once per
// instruction set. Include from exactly one .cpp per instruction set, after defining
// LAGSTAT_KERNEL_TARGET (the function attribute that selects the set, or nothing) and an `ops`
// struct (below); everything here has internal linkage, so the copies never meet at link time.
//
// ops provides:
//   vec, width                        the vector type and its number of doubles
//   tile_rows, tile_vecs              register tile: tile_rows accumulator rows x tile_vecs vectors
//                                     (frames narrower than that use one vector)
//   loadu, storeu, bcast, mul, add    unaligned load/store, broadcast of one double, and the two
//                                     separately rounded operations (never fused)
//
// How the results stay exact: an accumulator element is held in one vector lane while the frames
// of the block pass over it in order, and each frame contributes one rounded product and one
// rounded add, just as in the per-frame loop. Tiling only changes which elements are in flight
// together, never the sequence of operations any element sees.
#pragma once

#include <algorithm>
#include <cstddef>

#ifndef LAGSTAT_KERNEL_TARGET
#error "define LAGSTAT_KERNEL_TARGET before including block_kernels_impl.hpp"
#endif

namespace lagstat::stats::detail {
namespace {

/// Frames reached through the block's row pointers, offset to the tile's first column.
struct row_source {
    const double* const* rows;
    std::size_t offset;
    const double* at(std::size_t k) const { return rows[k] + offset; }
};

/// Frames copied into a small zero-padded panel (tiles that reach past the frame's end).
struct packed_source {
    const double* base;
    std::size_t stride;
    const double* at(std::size_t k) const { return base + k * stride; }
};

template <class Ops>
struct block_impl {
    using vec = typename Ops::vec;
    static constexpr std::size_t vl = Ops::width;
    static constexpr std::size_t tile_r = Ops::tile_rows;
    /// Frames handled per sweep over the accumulator: bounds the frame data one tile strip
    /// reads over and over (sweep_frames x strip width), so it stays in cache for any block.
    static constexpr std::size_t sweep_frames = 256;
    /// Frames packed at a time for the edge tiles (stack panels).
    static constexpr std::size_t pack_frames = 64;

    /// acc[r*ld + j] += a_k[r] * b_k[j] for the tile_r x (tile_v * vl) tile, k = 0..m-1 in order.
    template <std::size_t tile_v, class A, class B>
    LAGSTAT_KERNEL_TARGET static inline void tile(double* acc, std::size_t ld, A a, B b,
                                                  std::size_t m) {
        vec c[tile_r][tile_v];
#pragma GCC unroll 16
        for (std::size_t r = 0; r < tile_r; ++r) {
#pragma GCC unroll 16
            for (std::size_t v = 0; v < tile_v; ++v) c[r][v] = Ops::loadu(acc + r * ld + v * vl);
        }
        for (std::size_t k = 0; k < m; ++k) {
            const double* ak = a.at(k);
            const double* bk = b.at(k);
            vec bv[tile_v];
#pragma GCC unroll 16
            for (std::size_t v = 0; v < tile_v; ++v) bv[v] = Ops::loadu(bk + v * vl);
#pragma GCC unroll 16
            for (std::size_t r = 0; r < tile_r; ++r) {
                const vec s = Ops::bcast(ak + r);
#pragma GCC unroll 16
                for (std::size_t v = 0; v < tile_v; ++v)
                    c[r][v] = Ops::add(c[r][v], Ops::mul(s, bv[v]));
            }
        }
#pragma GCC unroll 16
        for (std::size_t r = 0; r < tile_r; ++r) {
#pragma GCC unroll 16
            for (std::size_t v = 0; v < tile_v; ++v) Ops::storeu(acc + r * ld + v * vl, c[r][v]);
        }
    }

    /// One tile of c (rows i0.., columns j0..) over frames a_rows/b_rows[0..m). With `upper`,
    /// only elements with j >= i are updated.
    ///
    /// A tile that would touch elements outside the matrix or below the diagonal works on a copy
    /// of its elements, of which only the valid ones go back. A tile that would read past the
    /// frames' end is slid back to end at the last column (or row), so that it reads only frame
    /// values, and again only its own elements go back; only frames narrower than a tile are
    /// copied into zero-padded panels.
    template <std::size_t tile_v>
    LAGSTAT_KERNEL_TARGET static void run_tile(const double* const* a_rows,
                                               const double* const* b_rows, std::size_t m,
                                               double* c, std::size_t n, std::size_t i0,
                                               std::size_t j0, bool upper) {
        constexpr std::size_t tile_w = tile_v * vl;
        const bool rows_fit = i0 + tile_r <= n;
        const bool cols_fit = j0 + tile_w <= n;
        if (rows_fit && cols_fit && (!upper || i0 + tile_r - 1 <= j0)) {
            tile<tile_v>(c + i0 * n + j0, n, row_source{a_rows, i0}, row_source{b_rows, j0}, m);
            return;
        }

        // The tile's own elements: rows [i0, i_end), columns [j0, j_end), j >= i with `upper`;
        // the copy acc covers the window of rows wi.. and columns wj.. that is computed.
        const std::size_t i_end = std::min(n, i0 + tile_r), j_end = std::min(n, j0 + tile_w);
        const bool slide = (rows_fit || n >= tile_r) && (cols_fit || n >= tile_w);
        const std::size_t wi = rows_fit || !slide ? i0 : n - tile_r;
        const std::size_t wj = cols_fit || !slide ? j0 : n - tile_w;

        alignas(64) double acc[tile_r * tile_w] = {};
        for (std::size_t i = i0; i < i_end; ++i) {
            for (std::size_t j = upper ? std::max(i, j0) : j0; j < j_end; ++j)
                acc[(i - wi) * tile_w + (j - wj)] = c[i * n + j];
        }

        if (slide) {
            tile<tile_v>(acc, tile_w, row_source{a_rows, wi}, row_source{b_rows, wj}, m);
        } else {
            const std::size_t rv = i_end - i0, cv = j_end - j0;
            alignas(64) double pa[pack_frames * tile_r];
            alignas(64) double pb[pack_frames * tile_w];
            for (std::size_t k0 = 0; k0 < m; k0 += pack_frames) {
                const std::size_t kc = std::min(pack_frames, m - k0);
                for (std::size_t k = 0; k < kc; ++k) {
                    const double* x = a_rows[k0 + k] + i0;
                    for (std::size_t r = 0; r < tile_r; ++r)
                        pa[k * tile_r + r] = r < rv ? x[r] : 0.0;
                    const double* y = b_rows[k0 + k] + j0;
                    for (std::size_t w = 0; w < tile_w; ++w)
                        pb[k * tile_w + w] = w < cv ? y[w] : 0.0;
                }
                tile<tile_v>(acc, tile_w, packed_source{pa, tile_r}, packed_source{pb, tile_w}, kc);
            }
        }

        for (std::size_t i = i0; i < i_end; ++i) {
            for (std::size_t j = upper ? std::max(i, j0) : j0; j < j_end; ++j)
                c[i * n + j] = acc[(i - wi) * tile_w + (j - wj)];
        }
    }

    template <std::size_t tile_v>
    LAGSTAT_KERNEL_TARGET static void outer_upper_tiles(const double* const* rows, std::size_t m,
                                                        double* c, std::size_t n) {
        constexpr std::size_t tile_w = tile_v * vl;
        for (std::size_t k0 = 0; k0 < m; k0 += sweep_frames) {
            const std::size_t kc = std::min(sweep_frames, m - k0);
            for (std::size_t j0 = 0; j0 < n; j0 += tile_w) {
                const std::size_t row_end = std::min(n, j0 + tile_w);
                for (std::size_t i0 = 0; i0 < row_end; i0 += tile_r)
                    run_tile<tile_v>(rows + k0, rows + k0, kc, c, n, i0, j0, true);
            }
        }
    }

    template <std::size_t tile_v>
    LAGSTAT_KERNEL_TARGET static void lagged_outer_tiles(const double* const* earlier,
                                                         const double* const* later, std::size_t m,
                                                         double* tc, std::size_t n) {
        constexpr std::size_t tile_w = tile_v * vl;
        for (std::size_t k0 = 0; k0 < m; k0 += sweep_frames) {
            const std::size_t kc = std::min(sweep_frames, m - k0);
            for (std::size_t j0 = 0; j0 < n; j0 += tile_w) {
                for (std::size_t i0 = 0; i0 < n; i0 += tile_r)
                    run_tile<tile_v>(earlier + k0, later + k0, kc, tc, n, i0, j0, false);
            }
        }
    }

    // Frames narrower than the full tile use tiles one vector wide, which waste fewer lanes.
    static void outer_upper(const double* const* rows, std::size_t m, double* c, std::size_t n) {
        if (n >= Ops::tile_vecs * vl)
            outer_upper_tiles<Ops::tile_vecs>(rows, m, c, n);
        else
            outer_upper_tiles<1>(rows, m, c, n);
    }

    static void lagged_outer(const double* const* earlier, const double* const* later,
                             std::size_t m, double* tc, std::size_t n) {
        if (n >= Ops::tile_vecs * vl)
            lagged_outer_tiles<Ops::tile_vecs>(earlier, later, m, tc, n);
        else
            lagged_outer_tiles<1>(earlier, later, m, tc, n);
    }

    /// s[i] += f(rows[k][i]) for k in order, f the identity or the square.
    template <bool square>
    LAGSTAT_KERNEL_TARGET static void elementwise(const double* const* rows, std::size_t m,
                                                  double* s, std::size_t n) {
        constexpr std::size_t unroll = 4;
        std::size_t i = 0;
        for (; i + unroll * vl <= n; i += unroll * vl) {
            vec a[unroll];
#pragma GCC unroll 16
            for (std::size_t u = 0; u < unroll; ++u) a[u] = Ops::loadu(s + i + u * vl);
            for (std::size_t k = 0; k < m; ++k) {
                const double* x = rows[k] + i;
#pragma GCC unroll 16
                for (std::size_t u = 0; u < unroll; ++u) {
                    const vec xv = Ops::loadu(x + u * vl);
                    a[u] = Ops::add(a[u], square ? Ops::mul(xv, xv) : xv);
                }
            }
#pragma GCC unroll 16
            for (std::size_t u = 0; u < unroll; ++u) Ops::storeu(s + i + u * vl, a[u]);
        }
        for (; i + vl <= n; i += vl) {
            vec a = Ops::loadu(s + i);
            for (std::size_t k = 0; k < m; ++k) {
                const vec xv = Ops::loadu(rows[k] + i);
                a = Ops::add(a, square ? Ops::mul(xv, xv) : xv);
            }
            Ops::storeu(s + i, a);
        }
        for (; i < n; ++i) {
            double a = s[i];
            for (std::size_t k = 0; k < m; ++k) {
                const double x = rows[k][i];
                a = a + (square ? x * x : x);
            }
            s[i] = a;
        }
    }

    static void add_sum(const double* const* rows, std::size_t m, double* s, std::size_t n) {
        elementwise<false>(rows, m, s, n);
    }
    static void add_squares(const double* const* rows, std::size_t m, double* q, std::size_t n) {
        elementwise<true>(rows, m, q, n);
    }
};

}  // namespace
}  // namespace lagstat::stats::detail
