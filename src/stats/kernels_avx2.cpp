// Block kernels for AVX2 (four doubles per vector), compiled for that set through function
// target attributes and chosen at run time only on CPUs that have it.
#include "stats/kernel_dispatch.hpp"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#define LAGSTAT_KERNEL_TARGET __attribute__((target("avx2")))
#define LAGSTAT_KERNEL_INLINE __attribute__((target("avx2"), always_inline)) static inline

namespace lagstat::stats::detail {
namespace {

struct avx2_ops {
    using vec = __m256d;
    static constexpr std::size_t width = 4;
    static constexpr std::size_t tile_rows = 6;
    static constexpr std::size_t tile_vecs = 2;

    LAGSTAT_KERNEL_INLINE vec loadu(const double* p) { return _mm256_loadu_pd(p); }
    LAGSTAT_KERNEL_INLINE void storeu(double* p, vec v) { _mm256_storeu_pd(p, v); }
    LAGSTAT_KERNEL_INLINE vec bcast(const double* p) { return _mm256_broadcast_sd(p); }
    LAGSTAT_KERNEL_INLINE vec mul(vec a, vec b) { return _mm256_mul_pd(a, b); }
    LAGSTAT_KERNEL_INLINE vec add(vec a, vec b) { return _mm256_add_pd(a, b); }
    LAGSTAT_KERNEL_INLINE vec sub(vec a, vec b) { return _mm256_sub_pd(a, b); }
    LAGSTAT_KERNEL_INLINE vec mul_bcast(vec a, const double* p) { return mul(a, bcast(p)); }
};

}  // namespace
}  // namespace lagstat::stats::detail

#include "stats/block_kernels_impl.hpp"

namespace lagstat::stats::detail {
namespace {

const block_kernel_table avx2_table = block_impl<avx2_ops>::table("avx2");

}  // namespace

const block_kernel_table* avx2_block_kernels() noexcept {
    return &avx2_table;
}

}  // namespace lagstat::stats::detail

#else

namespace lagstat::stats::detail {
const block_kernel_table* avx2_block_kernels() noexcept {
    return nullptr;
}
}  // namespace lagstat::stats::detail

#endif
