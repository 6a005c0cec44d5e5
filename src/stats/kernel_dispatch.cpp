// The instruction-set dispatch of the block kernels, and the mirror of the upper triangle.
#include "stats/mirror.hpp"

#include <algorithm>
#include <limits>

#include "stats/kernel_dispatch.hpp"

namespace lagstat::stats {

void mirror_upper(double* c, std::size_t n) noexcept {
    for (std::size_t i = 0; i + 1 < n; ++i) {
        for (std::size_t j = i + 1; j < n; ++j) c[j * n + i] = c[i * n + j];
    }
}

namespace detail {
namespace {

const block_kernel_table* table_for(cpu::isa set) noexcept {
    switch (set) {
        case cpu::isa::generic:
            return &generic_block_kernels;
        case cpu::isa::avx2:
            return avx2_block_kernels();
        case cpu::isa::avx512:
            return avx512_block_kernels();
    }
    return nullptr;
}

}  // namespace

const block_kernel_table& active_block_kernels() noexcept {
    const block_kernel_table* t = table_for(cpu::active_isa());
    return t != nullptr ? *t : generic_block_kernels;
}

std::size_t full_panel_work(std::size_t n) noexcept {
    // Two panels of a chunk of frames by n rounded up to a tile, each tile narrower than the
    // slack: (n + slack) * 2 * panel_chunk_frames must be representable.
    constexpr std::size_t slack = 64;
    if (n > std::numeric_limits<std::size_t>::max() / (2 * panel_chunk_frames) - slack) return 0;
    std::size_t most = 0;
    for (cpu::isa set : cpu::all_isas) {
        const block_kernel_table* t = table_for(set);
        if (t != nullptr && cpu::isa_supported(set)) most = std::max(most, t->full_work(n));
    }
    return most;
}

}  // namespace detail
}  // namespace lagstat::stats
