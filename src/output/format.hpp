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

}  // namespace lagstat::output
