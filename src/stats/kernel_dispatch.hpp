// Runtime choice of the instruction set behind the block kernels.
//
// Each instruction set has its own table of block kernels, compiled for that set alone through
// function target attributes; the table used is picked once, from what the CPU supports, and may
// be lowered with the environment variable LAGSTAT_KERNEL_ISA=generic|avx2|avx512.
#pragma once

#include <cstddef>

namespace lagstat::stats::detail {

/// Frames the outer products pack into panels at a time.
constexpr std::size_t panel_chunk_frames = 128;
/// Workspace of the block functions of kernels.hpp, which keep their panels on the stack: enough
/// for one tile's row group and strip on every instruction set.
constexpr std::size_t stack_panel_doubles = 4096;

/// The outer products take a workspace for their panels: any size from min_work(n) doubles
/// works (the panels are then packed piece by piece); full_work(n) doubles hold a whole chunk
/// of frames at once. The workspace should be aligned to 64 bytes.
struct block_kernel_table {
    const char* name;
    void (*add_sum)(const double* const* rows, std::size_t m, double* s, std::size_t n);
    void (*add_squares)(const double* const* rows, std::size_t m, double* q, std::size_t n);
    void (*add_outer_upper)(const double* const* rows, std::size_t m, double* c, std::size_t n,
                            double* work, std::size_t work_doubles);
    void (*add_lagged_outer)(const double* const* earlier, const double* const* later,
                             std::size_t m, double* tc, std::size_t n, double* work,
                             std::size_t work_doubles);
    std::size_t (*min_work)(std::size_t n);
    std::size_t (*full_work)(std::size_t n);
    /// Both outer products of a block in one go, sharing the packed frames: c += rows[k]
    /// rows[k]^T on the upper triangle for k in [0, m), and tc += earlier[p] rows[first + p]^T
    /// for p in [0, m - first) (first <= m). A null c or tc (earlier may then be null too)
    /// switches that sum off.
    void (*add_moment_products)(const double* const* rows, std::size_t m, double* c,
                                const double* const* earlier, std::size_t first, double* tc,
                                std::size_t n, double* work, std::size_t work_doubles);
};

/// Always present: plain C++ (GCC vector extensions, SSE2 on x86-64).
extern const block_kernel_table generic_block_kernels;
/// Null where the compiler cannot build the set (not x86).
const block_kernel_table* avx2_block_kernels() noexcept;
const block_kernel_table* avx512_block_kernels() noexcept;

/// The table the block kernels dispatch to.
const block_kernel_table& active_block_kernels() noexcept;

/// Workspace that holds whole panel chunks for frames of length n under every instruction set
/// this CPU runs (the active set may change between a workspace's allocation and its use).
/// 0 when the size is not representable.
std::size_t full_panel_work(std::size_t n) noexcept;

/// Whether this CPU (and build) can run the named set ("generic", "avx2", "avx512").
bool kernel_isa_supported(const char* name) noexcept;

/// Switches the block kernels to the named set. Returns false, changing nothing, when the name
/// is unknown or the set unsupported. For tests and benchmarks, which check every path.
bool select_kernel_isa(const char* name) noexcept;

}  // namespace lagstat::stats::detail
