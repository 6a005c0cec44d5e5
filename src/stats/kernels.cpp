// Per-frame accumulation kernels, and the dispatch of the block kernels to the widest
// instruction set this CPU offers.
#include "stats/kernels.hpp"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "stats/kernel_dispatch.hpp"

namespace lagstat::stats {

// ---- per-frame kernels -------------------------------------------------------------------

void add_sum(const double* x, double* s, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) s[i] = s[i] + x[i];
}

void add_squares(const double* x, double* q, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) q[i] = q[i] + x[i] * x[i];
}

void add_outer_upper(const double* x, double* c, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
        double* row = c + i * n;
        const double xi = x[i];
        for (std::size_t j = i; j < n; ++j) row[j] = row[j] + xi * x[j];
    }
}

void add_lagged_outer(const double* x, double* tc, double* pairs, std::size_t n, std::uint64_t t,
                      double* ring, std::size_t lag) noexcept {
    double* slot = ring + static_cast<std::size_t>(t % lag) * n;
    if (t >= lag) {
        *pairs = *pairs + 1.0;
        for (std::size_t i = 0; i < n; ++i) {
            double* row = tc + i * n;
            const double yi = slot[i];
            for (std::size_t j = 0; j < n; ++j) row[j] = row[j] + yi * x[j];
        }
    }
    // memmove: the ring slot may be where the caller keeps x.
    std::memmove(slot, x, n * sizeof(double));
}

void mirror_upper(double* c, std::size_t n) noexcept {
    for (std::size_t i = 0; i + 1 < n; ++i) {
        for (std::size_t j = i + 1; j < n; ++j) c[j * n + i] = c[i * n + j];
    }
}

// ---- dispatch ----------------------------------------------------------------------------

namespace detail {
namespace {

// Ranked from narrowest to widest; a forced choice may only go down this list.
const block_kernel_table* table_by_name(const char* name) noexcept {
    if (name == nullptr) return nullptr;
    if (std::strcmp(name, "generic") == 0) return &generic_block_kernels;
    if (std::strcmp(name, "avx2") == 0) return avx2_block_kernels();
    if (std::strcmp(name, "avx512") == 0) return avx512_block_kernels();
    return nullptr;
}

int rank(const block_kernel_table* t) noexcept {
    if (t == &generic_block_kernels) return 0;
    if (t == avx2_block_kernels()) return 1;
    return 2;
}

bool cpu_runs(const block_kernel_table* t) noexcept {
    if (t == nullptr) return false;
    if (t == &generic_block_kernels) return true;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (t == avx2_block_kernels()) return __builtin_cpu_supports("avx2");
    if (t == avx512_block_kernels()) return __builtin_cpu_supports("avx512f");
#endif
    return false;
}

const block_kernel_table* best_table() noexcept {
    const block_kernel_table* best = &generic_block_kernels;
    if (cpu_runs(avx2_block_kernels())) best = avx2_block_kernels();
    if (cpu_runs(avx512_block_kernels())) best = avx512_block_kernels();
    // The environment may only lower the choice: a test forcing a path cannot crash a CPU.
    const block_kernel_table* forced = table_by_name(std::getenv("LAGSTAT_KERNEL_ISA"));
    if (forced != nullptr && rank(forced) < rank(best)) best = forced;
    return best;
}

std::atomic<const block_kernel_table*> active_table{nullptr};

}  // namespace

const block_kernel_table& active_block_kernels() noexcept {
    const block_kernel_table* t = active_table.load(std::memory_order_acquire);
    if (t == nullptr) {
        t = best_table();
        active_table.store(t, std::memory_order_release);
    }
    return *t;
}

std::size_t full_panel_work(std::size_t n) noexcept {
    // Two panels of a chunk of frames by n rounded up to a tile, each tile narrower than the
    // slack: (n + slack) * 2 * panel_chunk_frames must be representable.
    constexpr std::size_t slack = 64;
    if (n > std::numeric_limits<std::size_t>::max() / (2 * panel_chunk_frames) - slack) return 0;
    std::size_t most = 0;
    for (const block_kernel_table* t :
         {&generic_block_kernels, avx2_block_kernels(), avx512_block_kernels()}) {
        if (cpu_runs(t)) most = std::max(most, t->full_work(n));
    }
    return most;
}

bool kernel_isa_supported(const char* name) noexcept {
    return cpu_runs(table_by_name(name));
}

bool select_kernel_isa(const char* name) noexcept {
    const block_kernel_table* t = table_by_name(name);
    if (!cpu_runs(t)) return false;
    active_table.store(t, std::memory_order_release);
    return true;
}

}  // namespace detail

// ---- block kernels -----------------------------------------------------------------------

void add_sum_block(const double* const* rows, std::size_t m, double* s, std::size_t n) noexcept {
    if (m == 0 || n == 0) return;
    detail::active_block_kernels().add_sum(rows, m, s, n);
}

void add_squares_block(const double* const* rows, std::size_t m, double* q,
                       std::size_t n) noexcept {
    if (m == 0 || n == 0) return;
    detail::active_block_kernels().add_squares(rows, m, q, n);
}

// These keep their panels on the stack and pack them piece by piece, which suits frames of any
// length; the moment accumulator gives the kernels a workspace that holds whole chunks.
void add_outer_upper_block(const double* const* rows, std::size_t m, double* c,
                           std::size_t n) noexcept {
    if (m == 0 || n == 0) return;
    alignas(64) double work[detail::stack_panel_doubles];
    detail::active_block_kernels().add_outer_upper(rows, m, c, n, work,
                                                   detail::stack_panel_doubles);
}

void add_lagged_outer_block(const double* const* earlier, const double* const* later, std::size_t m,
                            double* tc, std::size_t n) noexcept {
    if (m == 0 || n == 0) return;
    alignas(64) double work[detail::stack_panel_doubles];
    detail::active_block_kernels().add_lagged_outer(earlier, later, m, tc, n, work,
                                                    detail::stack_panel_doubles);
}

const char* kernel_isa() noexcept {
    return detail::active_block_kernels().name;
}

}  // namespace lagstat::stats
