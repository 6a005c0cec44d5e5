// Projection of a frame on the leading columns of a row-major weight matrix.
//
// The sums run down W's rows (ascending k) with the projections side by side in vector lanes:
// lane i only ever sees x[k] * w[k*n + i] products, each rounded, added in ascending k to an
// accumulator that starts at 0.0. That is the literal sum for every i, whatever the vector width.
// A block of columns is kept in registers for the whole walk down the rows; the last vector of a
// block is masked so that nothing past column max_proj is read.

#include "projection/project.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define LAGSTAT_PROJECT_X86 1
#endif

namespace lagstat::projection {
namespace detail {


void project_portable(const double* x, const double* w, std::size_t n, std::size_t max_proj,
                      double* y) noexcept {
    constexpr std::size_t block = 16;
    for (std::size_t i0 = 0; i0 < max_proj; i0 += block) {
        const std::size_t width = max_proj - i0 < block ? max_proj - i0 : block;
        double acc[block] = {};
        const double* row = w + i0;
        for (std::size_t k = 0; k < n; ++k, row += n) {
            const double xk = x[k];
            for (std::size_t j = 0; j < width; ++j) acc[j] += xk * row[j];
        }
        for (std::size_t j = 0; j < width; ++j) y[i0 + j] = acc[j];
    }
}

#ifdef LAGSTAT_PROJECT_X86

namespace {

// ---- AVX2: blocks of up to 16 columns in four registers ----------------------------------

/// Columns [0, 4 * (nv - 1) + popcount(last)) of the rows starting at w, into y.
template <int nv>
__attribute__((target("avx2"), always_inline)) inline void block_avx2(const double* x,
                                                                      const double* w,
                                                                      std::size_t n, double* y,
                                                                      __m256i last) noexcept {
    __m256d acc[nv];
    for (int j = 0; j < nv; ++j) acc[j] = _mm256_setzero_pd();
    for (std::size_t k = 0; k < n; ++k, w += n) {
        const __m256d xk = _mm256_set1_pd(x[k]);
        for (int j = 0; j < nv - 1; ++j)
            acc[j] = _mm256_add_pd(acc[j], _mm256_mul_pd(xk, _mm256_loadu_pd(w + 4 * j)));
        const __m256d tail = _mm256_maskload_pd(w + 4 * (nv - 1), last);
        acc[nv - 1] = _mm256_add_pd(acc[nv - 1], _mm256_mul_pd(xk, tail));
    }
    for (int j = 0; j < nv - 1; ++j) _mm256_storeu_pd(y + 4 * j, acc[j]);
    _mm256_maskstore_pd(y + 4 * (nv - 1), last, acc[nv - 1]);
}

__attribute__((target("avx2"))) __m256i avx2_lane_mask(std::size_t lanes) noexcept {
    // Lane j is on when j < lanes (1..4).
    const __m256i index = _mm256_setr_epi64x(0, 1, 2, 3);
    return _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<long long>(lanes)), index);
}

}  // namespace

__attribute__((target("avx2"))) void project_avx2(const double* x, const double* w, std::size_t n,
                                                  std::size_t max_proj, double* y) noexcept {
    constexpr std::size_t block = 16;
    std::size_t i0 = 0;
    const __m256i all = _mm256_set1_epi64x(-1);
    for (; i0 + block <= max_proj; i0 += block) block_avx2<4>(x, w + i0, n, y + i0, all);
    const std::size_t rest = max_proj - i0;
    if (rest == 0) return;
    const std::size_t nv = (rest + 3) / 4;
    const __m256i last = avx2_lane_mask(rest - 4 * (nv - 1));
    switch (nv) {
        case 1:
            block_avx2<1>(x, w + i0, n, y + i0, last);
            break;
        case 2:
            block_avx2<2>(x, w + i0, n, y + i0, last);
            break;
        case 3:
            block_avx2<3>(x, w + i0, n, y + i0, last);
            break;
        default:
            block_avx2<4>(x, w + i0, n, y + i0, last);
            break;
    }
}

// ---- AVX-512F: blocks of up to 32 columns ------------------------------------------------
// Full eight-column groups go in 512-bit registers; a remainder of one to seven columns goes in
// 256-bit ones, the last of them masked. (A masked 512-bit tail measured slower on rows that
// come from L2 and beyond: it spans more cache lines than the columns it keeps.)

namespace {

/// Columns [0, 8 * nz + 4 * (ny - 1) + popcount(last)) (or [0, 8 * nz) when ny is 0) of the
/// rows starting at w, into y.
template <int nz, int ny>
__attribute__((target("avx512f,avx2"), always_inline)) inline void block_avx512(
    const double* x, const double* w, std::size_t n, double* y, __m256i last) noexcept {
    __m512d accz[nz > 0 ? nz : 1];
    __m256d accy[ny > 0 ? ny : 1];
    for (int j = 0; j < nz; ++j) accz[j] = _mm512_setzero_pd();
    for (int j = 0; j < ny; ++j) accy[j] = _mm256_setzero_pd();
    const double* const wy = w + 8 * nz;
    for (std::size_t k = 0; k < n; ++k) {
        const double* const row = w + k * n;
        const __m512d xz = _mm512_set1_pd(x[k]);
        for (int j = 0; j < nz; ++j)
            accz[j] = _mm512_add_pd(accz[j], _mm512_mul_pd(xz, _mm512_loadu_pd(row + 8 * j)));
        if (ny > 0) {
            const double* const rowy = wy + k * n;
            const __m256d xy = _mm256_set1_pd(x[k]);
            for (int j = 0; j < ny - 1; ++j)
                accy[j] = _mm256_add_pd(accy[j], _mm256_mul_pd(xy, _mm256_loadu_pd(rowy + 4 * j)));
            const __m256d tail = _mm256_maskload_pd(rowy + 4 * (ny - 1), last);
            accy[ny - 1] = _mm256_add_pd(accy[ny - 1], _mm256_mul_pd(xy, tail));
        }
    }
    for (int j = 0; j < nz; ++j) _mm512_storeu_pd(y + 8 * j, accz[j]);
    if (ny > 0) {
        double* const yy = y + 8 * nz;
        for (int j = 0; j < ny - 1; ++j) _mm256_storeu_pd(yy + 4 * j, accy[j]);
        _mm256_maskstore_pd(yy + 4 * (ny - 1), last, accy[ny - 1]);
    }
}

template <int nz>
__attribute__((target("avx512f,avx2"), always_inline)) inline void tail_avx512(
    const double* x, const double* w, std::size_t n, double* y, std::size_t rest) noexcept {
    const std::size_t r = rest % 8;  // columns after the full groups
    if (r == 0) {
        block_avx512<nz, 0>(x, w, n, y, _mm256_setzero_si256());
    } else if (r <= 4) {
        block_avx512<nz, 1>(x, w, n, y, avx2_lane_mask(r));
    } else {
        block_avx512<nz, 2>(x, w, n, y, avx2_lane_mask(r - 4));
    }
}

}  // namespace

__attribute__((target("avx512f,avx2"))) void project_avx512(const double* x, const double* w,
                                                            std::size_t n, std::size_t max_proj,
                                                            double* y) noexcept {
    constexpr std::size_t block = 32;
    std::size_t i0 = 0;
    for (; i0 + block <= max_proj; i0 += block)
        block_avx512<4, 0>(x, w + i0, n, y + i0, _mm256_setzero_si256());
    const std::size_t rest = max_proj - i0;
    if (rest == 0) return;
    switch (rest / 8) {
        case 0:
            tail_avx512<0>(x, w + i0, n, y + i0, rest);
            break;
        case 1:
            tail_avx512<1>(x, w + i0, n, y + i0, rest);
            break;
        case 2:
            tail_avx512<2>(x, w + i0, n, y + i0, rest);
            break;
        default:
            tail_avx512<3>(x, w + i0, n, y + i0, rest);
            break;
    }
}

#endif  // LAGSTAT_PROJECT_X86

project_fn project_for(cpu::isa set) noexcept {
#ifdef LAGSTAT_PROJECT_X86
    if (set == cpu::isa::avx512) return &project_avx512;
    if (set == cpu::isa::avx2) return &project_avx2;
#endif
    (void)set;
    return &project_portable;
}

}  // namespace detail

void project(const double* x, const double* w, std::size_t n, std::size_t max_proj,
             double* y) noexcept {
    detail::project_for(cpu::active_isa())(x, w, n, max_proj, y);
}

}  // namespace lagstat::projection
