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
    static constexpr std::size_t tile_rows = 6;
    static constexpr std::size_t tile_vecs = 3;

    LAGSTAT_KERNEL_INLINE vec loadu(const double* p) { return _mm512_loadu_pd(p); }
    LAGSTAT_KERNEL_INLINE void storeu(double* p, vec v) { _mm512_storeu_pd(p, v); }
    LAGSTAT_KERNEL_INLINE vec bcast(const double* p) { return _mm512_set1_pd(*p); }
    LAGSTAT_KERNEL_INLINE vec mul(vec a, vec b) { return _mm512_mul_pd(a, b); }
    LAGSTAT_KERNEL_INLINE vec add(vec a, vec b) { return _mm512_add_pd(a, b); }
};

}  // namespace
}  // namespace lagstat::stats::detail

#include "stats/block_kernels_impl.hpp"

namespace lagstat::stats::detail {
namespace {

const block_kernel_table avx512_table = {
    "avx512",
    &block_impl<avx512_ops>::add_sum,
    &block_impl<avx512_ops>::add_squares,
    &block_impl<avx512_ops>::outer_upper,
    &block_impl<avx512_ops>::lagged_outer,
};

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
