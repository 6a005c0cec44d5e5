// Fixed-point number text, as printf's "%f" writes it in the C locale.
#pragma once

#include <cstddef>

namespace lagstat::output {

/// Room format_fixed6 may need: sign, 309 integer digits, point, 6 decimals.
inline constexpr std::size_t max_fixed6_length = 320;

/// Writes v exactly as snprintf(buf, size, "%f", v) writes it in the C locale (exact decimal
/// expansion rounded to six decimals, half to even on the exact binary value; "inf", "-inf",
/// "nan", "-nan"), whatever the process locale. buf must have max_fixed6_length bytes; no NUL
/// is written. Returns one past the last character written.
char* format_fixed6(double v, char* buf) noexcept;

/// Room format_fixed6_lines may need for count values.
constexpr std::size_t fixed6_lines_room(std::size_t count) noexcept {
    return count * (max_fixed6_length + 1);
}

/// Writes values[0..count) as format_fixed6 does, per_line of them to a line: ' ' after each but
/// the line's last, '\n' after that (count need not be a multiple of per_line; values[0] starts
/// a line). buf must have fixed6_lines_room(count) bytes. Returns one past the last character
/// written. On processors with AVX-512 (VBMI2) eight values at a time.
char* format_fixed6_lines(const double* values, std::size_t count, std::size_t per_line,
                          char* buf) noexcept;

namespace detail {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define LAGSTAT_AVX512_FORMAT 1
/// format_fixed6_lines for AVX-512 with VBMI2: only where cpu::avx512_vbmi2_supported().
char* format_lines_avx512(const double* values, std::size_t count, std::size_t per_line,
                          char* buf) noexcept;
#endif
/// format_fixed6_lines one value at a time, on any processor.
char* format_lines_portable(const double* values, std::size_t count, std::size_t per_line,
                            char* buf) noexcept;
}  // namespace detail

}  // namespace lagstat::output
