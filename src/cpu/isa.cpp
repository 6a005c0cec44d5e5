#include "cpu/isa.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace lagstat::cpu {

const char* isa_name(isa set) noexcept {
    switch (set) {
        case isa::generic:
            return "generic";
        case isa::avx2:
            return "avx2";
        case isa::avx512:
            return "avx512";
    }
    return "generic";
}

bool isa_from_name(const char* name, isa& set) noexcept {
    if (name == nullptr) return false;
    for (isa s : all_isas) {
        if (std::strcmp(name, isa_name(s)) == 0) {
            set = s;
            return true;
        }
    }
    return false;
}

bool isa_supported(isa set) noexcept {
    if (set == isa::generic) return true;
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
    __builtin_cpu_init();
    const bool avx2 = __builtin_cpu_supports("avx2") != 0;
    if (set == isa::avx2) return avx2;
    if (set == isa::avx512) return avx2 && __builtin_cpu_supports("avx512f") != 0;
#endif
    return false;
}

bool avx512_vbmi2_supported() noexcept {
#if defined(__x86_64__) && defined(__GNUC__)
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl") &&
           __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512vbmi2") &&
           __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
           __builtin_cpu_supports("popcnt");
#else
    return false;
#endif
}

namespace {

isa best_isa() noexcept {
    isa best = isa::generic;
    for (isa s : all_isas)
        if (isa_supported(s)) best = s;  // ranked narrowest first
    isa forced;
    if (isa_from_name(std::getenv("LAGSTAT_KERNEL_ISA"), forced) && forced < best) best = forced;
    return best;
}

// 0xFF: not chosen yet. Racing first calls choose the same set.
std::atomic<unsigned char> active{0xFF};

}  // namespace

isa active_isa() noexcept {
    unsigned char s = active.load(std::memory_order_relaxed);
    if (s == 0xFF) {
        s = static_cast<unsigned char>(best_isa());
        active.store(s, std::memory_order_relaxed);
    }
    return static_cast<isa>(s);
}

bool select_isa(isa set) noexcept {
    if (!isa_supported(set)) return false;
    active.store(static_cast<unsigned char>(set), std::memory_order_relaxed);
    return true;
}

}  // namespace lagstat::cpu
