// The block kernels of each instruction set, and the table of the set in use (cpu/isa.hpp).
//
// Each instruction set has its own table of block kernels, compiled for that set alone through
// function target attributes.
#pragma once

#include <cstddef>

#include "cpu/isa.hpp"

namespace lagstat::stats::detail {

/// Frames the outer products pack into panels at a time.
constexpr std::size_t panel_chunk_frames = 128;
/// Row bands of the outer products start at multiples of this (every table's tile height
/// divides it), so that threads splitting the rows keep whole register tiles.
constexpr std::size_t row_band_step = 24;

/// One lag's products in a block (see block_kernel_table::add_moment_products): tc +=
/// earlier[p] rows[first + p]^T for p in [0, m - first); a null tc skips the lag.
struct lagged_products {
    const double* const* earlier;
    std::size_t first;
    double* tc;
    /// With a shift (pooled products): earlier[p] enters as scale[p] * (earlier[p] - shift).
    const double* scale = nullptr;
};

/// Frames less a shift, formed as the panels are packed (add_pooled_products): a frame x
/// enters as x - shift, its left factor as scale[k] * (x - shift).
struct pooled_frames {
    const double* shift;
    const double* scale;
};

/// Frames in memory: value i of frame k at data[k * stride + i * step].
struct strided_block {
    const double* data;
    std::size_t stride, step;
};

/// The outer products take a workspace for their panels: any size from min_work(n) doubles
/// works (the panels are then packed piece by piece); full_work(n) doubles hold a whole chunk
/// of frames at once. The workspace should be aligned to 64 bytes.
struct block_kernel_table {
    const char* name;
    /// s[i] += rows[k][i] for i in [begin, end), k = 0..m-1 in order.
    void (*add_sum)(const double* const* rows, std::size_t m, double* s, std::size_t begin,
                    std::size_t end);
    /// q[i] += rows[k][i] * rows[k][i] for i in [begin, end), k = 0..m-1 in order.
    void (*add_squares)(const double* const* rows, std::size_t m, double* q, std::size_t begin,
                        std::size_t end);
    std::size_t (*min_work)(std::size_t n);
    std::size_t (*full_work)(std::size_t n);
    /// Both outer products of a block, over the rows [row_begin, row_end) of c and tc only
    /// (row_begin a multiple of row_band_step, row_end one too or n), sharing the packed
    /// frames: c += rows[k] rows[k]^T on the upper triangle for k in [0, m), and
    /// tc += earlier[p] rows[first + p]^T for p in [0, m - first) (first <= m). A null c or tc
    /// (earlier may then be null too) switches that sum off.
    void (*add_moment_products)(const double* const* rows, std::size_t m, double* c,
                                const double* const* earlier, std::size_t first, double* tc,
                                std::size_t n, std::size_t row_begin, std::size_t row_end,
                                double* work, std::size_t work_doubles);
    /// add_moment_products for several lags at once: c as there, and every lag's tc, sharing
    /// the column panel of each chunk of frames.
    void (*add_lagged_products)(const double* const* rows, std::size_t m, double* c,
                                const lagged_products* lags, std::size_t count, std::size_t n,
                                std::size_t row_begin, std::size_t row_end, double* work,
                                std::size_t work_doubles);
    /// add_lagged_products with c += left[k] rows[k]^T (upper triangle, j >= i) in place of
    /// c += rows[k] rows[k]^T: each product rounded as left[k][i] * rows[k][j], so with
    /// left[k] = w_k rows[k] (rounded) a weighted sum's element (i, j) gets (w_k x_i) x_j.
    void (*add_weighted_products)(const double* const* rows, const double* const* left,
                                  std::size_t m, double* c, const lagged_products* lags,
                                  std::size_t count, std::size_t n, std::size_t row_begin,
                                  std::size_t row_end, double* work, std::size_t work_doubles);
    /// add_weighted_products of frames taken as they are and less the shift in the packing:
    /// c += (v_k (x_k - s)) (x_k - s)^T on the upper triangle and every lag's tc +=
    /// (u_p (e_p - s)) (x_{first+p} - s)^T, with v = f.scale, u = the lag's scale; each value
    /// rounded as written, one operation at a time, so the bits are those of staged rows.
    void (*add_pooled_products)(const double* const* rows, const pooled_frames& f, std::size_t m,
                                double* c, const lagged_products* lags, std::size_t count,
                                std::size_t n, std::size_t row_begin, std::size_t row_end,
                                double* work, std::size_t work_doubles);
    /// s[i] += v_k * (rows[k][i] - shift[i]) for i in [begin, end), k = 0..m-1 in order.
    void (*add_pooled_sum)(const double* const* rows, const pooled_frames& f, std::size_t m,
                           double* s, std::size_t begin, std::size_t end);
    /// Stages m weighted pairs of frames of length n, less the shift s: for pair k, d = x_k[i]
    /// - s[i] into xd[k * n + i] and w_k * d into wx[k * n + i], and the same of y into yd and
    /// wy; x_k[i] is x.data[k * x.stride + i * x.step], w_k is w[k * w_stride]. Element by
    /// element, one rounding per operation, so every set gives the same bits.
    void (*stage_weighted_pairs)(strided_block x, strided_block y, const double* w,
                                 std::size_t w_stride, std::size_t m, const double* s,
                                 std::size_t n, double* xd, double* yd, double* wx, double* wy);
};

/// Always present: plain C++ (GCC vector extensions, SSE2 on x86-64).
extern const block_kernel_table generic_block_kernels;
/// Null where the compiler cannot build the set (not x86).
const block_kernel_table* avx2_block_kernels() noexcept;
const block_kernel_table* avx512_block_kernels() noexcept;

/// The table the block kernels dispatch to: that of cpu::active_isa().
const block_kernel_table& active_block_kernels() noexcept;

/// Workspace that holds whole panel chunks for frames of length n under every instruction set
/// this CPU runs (the active set may change between a workspace's allocation and its use).
/// 0 when the size is not representable.
std::size_t full_panel_work(std::size_t n) noexcept;

}  // namespace lagstat::stats::detail
