// The chunk parser compiled for AVX with BMI1 and BMI2, through a target region over the line scan
// (never through the compiler's -march, so that the module runs on any x86-64): the same scan,
// with the digits of short fields gathered in vector lanes (SSSE3 and SSE4.1 operations in AVX's
// three-operand form) and BMI's bit instructions. parse_chunk takes it where the kernels run
// AVX2 or wider. Not AVX2 itself: with it, GCC 12 builds each constant vector from a general
// register by a broadcast (three instructions a constant, in every field) instead of using it
// from memory.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "text/char_classes.hpp"
#include "text/chunk_parser.hpp"
#include "text/number.hpp"
#include "text/text_options.hpp"

#if defined(LAGSTAT_WIDE_CHUNK_PARSER)

#include <immintrin.h>

// What comes before the region (the standard library, the layout's accessors) keeps the baseline
// set; only the scan and the loop below are compiled for the wider one, in their own namespace.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx,bmi,bmi2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx,bmi,bmi2")
#endif

#define LAGSTAT_SCAN_WIDE 1
#define LAGSTAT_SCAN_ISA avx_bmi2
#include "text/line_scan.hpp"

namespace lagstat::text {
namespace {

#include "text/chunk_parse_loop.hpp"

}  // namespace

chunk_result detail::parse_chunk_wide(const char* begin, const char* end,
                                      const parse_layout& layout, double* out, std::size_t stride,
                                      std::size_t max_records, bool final_span) {
    return dispatch<wide_masks>(begin, end, layout, out, stride, max_records, final_span);
}

}  // namespace lagstat::text

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

namespace lagstat::text::detail {

bool wide_scan_supported() noexcept {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx") && __builtin_cpu_supports("bmi") &&
           __builtin_cpu_supports("bmi2");
}

}  // namespace lagstat::text::detail

#endif
