// Block kernels for AVX-512F (eight doubles per vector), compiled for that set through function
// target attributes and chosen at run time only on CPUs that have it.
#include "stats/kernel_dispatch.hpp"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#define LAGSTAT_KERNEL_TARGET __attribute__((target("avx512f")))
#define LAGSTAT_KERNEL_INLINE __attribute__((target("avx512f"), always_inline)) static inline

namespace lagstat::stats::detail {
namespace {

struct avx512_ops {
    using vec = __m512d;
    static constexpr std::size_t width = 8;
    static constexpr std::size_t tile_rows = 8;
    static constexpr std::size_t tile_vecs = 3;

    LAGSTAT_KERNEL_INLINE vec loadu(const double* p) { return _mm512_loadu_pd(p); }
    LAGSTAT_KERNEL_INLINE void storeu(double* p, vec v) { _mm512_storeu_pd(p, v); }
    LAGSTAT_KERNEL_INLINE vec mul(vec a, vec b) { return _mm512_mul_pd(a, b); }
    // The multiply with an embedded broadcast operand ({1to8}): written out, since the compiler
    // turns a broadcast used by several multiplies into a vbroadcastsd of its own, which on
    // Zen 4 runs on the vector pipes and slows the tile by a quarter.
    LAGSTAT_KERNEL_INLINE vec mul_bcast(vec a, const double* p) {
        vec r;
        __asm__("vmulpd %2%{1to8%}, %1, %0" : "=v"(r) : "v"(a), "m"(*p));
        return r;
    }
    LAGSTAT_KERNEL_INLINE vec add(vec a, vec b) { return _mm512_add_pd(a, b); }
    LAGSTAT_KERNEL_INLINE vec sub(vec a, vec b) { return _mm512_sub_pd(a, b); }
};

}  // namespace
}  // namespace lagstat::stats::detail

#include "stats/block_kernels_impl.hpp"

namespace lagstat::stats::detail {
namespace {

const block_kernel_table avx512_table = block_impl<avx512_ops>::table("avx512");

}  // namespace

const block_kernel_table* avx512_block_kernels() noexcept {
    return &avx512_table;
}

}  // namespace lagstat::stats::detail

#else

namespace lagstat::stats::detail {
const block_kernel_table* avx512_block_kernels() noexcept {
    return nullptr;
}
}  // namespace lagstat::stats::detail

#endif
