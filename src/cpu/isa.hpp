// The instruction set the kernels run on: one choice for the accumulation kernels, the
// projections and the chunk parser's text scan alike, made once from what the CPU offers.
//
// Every kernel exists in a portable build ("generic") and, on x86-64, in builds for AVX2 and
// AVX-512 selected through function target attributes (never through the compiler's -march),
// so one binary runs everywhere and uses what it finds. All of them give the same bits: they
// differ in how many elements are in flight, never in the operations an element sees.
//
// The environment variable LAGSTAT_KERNEL_ISA=generic|avx2|avx512 lowers the choice (it can
// never raise it above what the CPU runs), for comparisons and for machines that throttle wide
// vectors.
#pragma once

namespace lagstat::cpu {

enum class isa : unsigned char { generic = 0, avx2 = 1, avx512 = 2 };

inline constexpr isa all_isas[] = {isa::generic, isa::avx2, isa::avx512};

/// "generic", "avx2" or "avx512".
const char* isa_name(isa set) noexcept;
/// The set of that name; false for an unknown or null name.
bool isa_from_name(const char* name, isa& set) noexcept;
/// Whether this build has the set and this CPU runs it.
bool isa_supported(isa set) noexcept;

/// The set in use: the widest supported one, lowered by LAGSTAT_KERNEL_ISA.
isa active_isa() noexcept;
/// Switches to a supported set (tests and benchmarks check every path). false, changing
/// nothing, when the CPU cannot run it.
bool select_isa(isa set) noexcept;

/// Whether the CPU runs AVX-512 F, BW, DQ, VL, VBMI and VBMI2 with BMI1, BMI2 and POPCNT: the
/// byte permutes and compresses of the number text kernels (whole lines read, "%f" written),
/// which take the AVX-512 choice only where this holds too.
bool avx512_vbmi2_supported() noexcept;

}  // namespace lagstat::cpu
