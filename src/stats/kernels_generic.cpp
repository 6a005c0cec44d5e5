// Block kernels for the baseline instruction set, in plain C++ with GCC vector extensions (SSE2
// on x86-64). Runs anywhere; the fallback when the CPU offers nothing wider.
#include <cstring>

#include "stats/kernel_dispatch.hpp"

#define LAGSTAT_KERNEL_TARGET

namespace lagstat::stats::detail {
namespace {

struct generic_ops {
    typedef double vec __attribute__((vector_size(16)));
    static constexpr std::size_t width = 2;
    static constexpr std::size_t tile_rows = 4;
    static constexpr std::size_t tile_vecs = 2;

    static inline vec loadu(const double* p) {
        vec v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    static inline void storeu(double* p, vec v) { std::memcpy(p, &v, sizeof v); }
    static inline vec bcast(const double* p) { return vec{*p, *p}; }
    static inline vec mul(vec a, vec b) { return a * b; }
    static inline vec add(vec a, vec b) { return a + b; }
    static inline vec sub(vec a, vec b) { return a - b; }
    static inline vec mul_bcast(vec a, const double* p) { return a * bcast(p); }
};

}  // namespace
}  // namespace lagstat::stats::detail

#include "stats/block_kernels_impl.hpp"

namespace lagstat::stats::detail {

const block_kernel_table generic_block_kernels = block_impl<generic_ops>::table("generic");

}  // namespace lagstat::stats::detail
