// Accumulation kernels: plain sums of frames, their squares and (lagged) outer products.
//
// Every accumulator element receives its frames' contributions one at a time, in frame order,
// each product rounded to double before the add, so the blocked kernels give bit for bit the
// results of the per-frame ones.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lagstat::stats {

// ---- per-frame kernels -------------------------------------------------------------------

/// s[i] += x[i]
void add_sum(const double* x, double* s, std::size_t n) noexcept;
/// q[i] += x[i] * x[i]
void add_squares(const double* x, double* q, std::size_t n) noexcept;
/// c[i*n + j] += x[i] * x[j] for j >= i; the lower triangle is not touched.
void add_outer_upper(const double* x, double* c, std::size_t n) noexcept;
/// With t >= lag: *pairs += 1 and tc[i*n + j] += y[i] * x[j], y the ring slot t % lag (frame
/// t - lag). In every case x is then copied into ring slot t % lag. ring holds lag * n doubles.
void add_lagged_outer(const double* x, double* tc, double* pairs, std::size_t n, std::uint64_t t,
                      double* ring, std::size_t lag) noexcept;
/// c[j*n + i] = c[i*n + j] for j > i.
void mirror_upper(double* c, std::size_t n) noexcept;

// ---- block kernels -----------------------------------------------------------------------
// A block is m frames of n doubles given as row pointers, applied in order rows[0], rows[1], ...

/// s[i] += rows[k][i] for k = 0..m-1.
void add_sum_block(const double* const* rows, std::size_t m, double* s, std::size_t n) noexcept;
/// q[i] += rows[k][i] * rows[k][i] for k = 0..m-1.
void add_squares_block(const double* const* rows, std::size_t m, double* q, std::size_t n) noexcept;
/// c[i*n + j] += rows[k][i] * rows[k][j] for j >= i, k = 0..m-1.
void add_outer_upper_block(const double* const* rows, std::size_t m, double* c,
                           std::size_t n) noexcept;
/// tc[i*n + j] += earlier[k][i] * later[k][j] for k = 0..m-1.
void add_lagged_outer_block(const double* const* earlier, const double* const* later, std::size_t m,
                            double* tc, std::size_t n) noexcept;

/// Name of the instruction set the block kernels dispatch to on this CPU ("avx512", "avx2",
/// "generic").
const char* kernel_isa() noexcept;

}  // namespace lagstat::stats
