// Runtime choice of the instruction set behind the block kernels.
//
// Each instruction set has its own table of block kernels, compiled for that set alone through
// function target attributes; the table used is picked once, from what the CPU supports, and may
// be lowered with the environment variable LAGSTAT_KERNEL_ISA=generic|avx2|avx512.
#pragma once

#include <cstddef>

namespace lagstat::stats::detail {

struct block_kernel_table {
    const char* name;
    void (*add_sum)(const double* const* rows, std::size_t m, double* s, std::size_t n);
    void (*add_squares)(const double* const* rows, std::size_t m, double* q, std::size_t n);
    void (*add_outer_upper)(const double* const* rows, std::size_t m, double* c, std::size_t n);
    void (*add_lagged_outer)(const double* const* earlier, const double* const* later,
                             std::size_t m, double* tc, std::size_t n);
};

/// Always present: plain C++ (GCC vector extensions, SSE2 on x86-64).
extern const block_kernel_table generic_block_kernels;
/// Null where the compiler cannot build the set (not x86).
const block_kernel_table* avx2_block_kernels() noexcept;
const block_kernel_table* avx512_block_kernels() noexcept;

/// The table the block kernels dispatch to.
const block_kernel_table& active_block_kernels() noexcept;

/// Whether this CPU (and build) can run the named set ("generic", "avx2", "avx512").
bool kernel_isa_supported(const char* name) noexcept;

/// Switches the block kernels to the named set. Returns false, changing nothing, when the name
/// is unknown or the set unsupported. For tests and benchmarks, which check every path.
bool select_kernel_isa(const char* name) noexcept;

}  // namespace lagstat::stats::detail
