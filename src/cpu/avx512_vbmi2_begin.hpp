// Opens a region of functions compiled for AVX-512 F, BW, DQ, VL, VBMI and VBMI2 with BMI1, BMI2
// and POPCNT (what cpu::avx512_vbmi2_supported() checks), through target attributes, never
// through -march, so that the module runs on any x86-64; cpu/avx512_vbmi2_end.hpp closes it.
// Included after the headers whose functions keep the baseline set. No include guard: each
// translation unit opens and closes its own region.
#if defined(__clang__)
#pragma clang attribute push(                                                                   \
    __attribute__((target("avx512f,avx512bw,avx512dq,avx512vl,avx512vbmi,avx512vbmi2,bmi,bmi2," \
                          "popcnt"))),                                                          \
    apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512dq,avx512vl,avx512vbmi,avx512vbmi2,bmi,bmi2,popcnt")
// GCC 12's intrinsics start their unused pass-through operands as self-initialised variables,
// which -Wmaybe-uninitialized reports wherever they are inlined.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
