// Conversion of one field of the tabulated format to a double.
#pragma once

#include <cstddef>

namespace lagstat::text {

/// Longest text a field may hold.
inline constexpr std::size_t max_field_length = 256;

/// Converts the field [first, last) exactly as the C library's atof does in the C locale,
/// whatever the process locale: the longest prefix that forms a decimal floating-point
/// number ([+-] digits [. digits] [(e|E) [+-] digits]) is converted with correct rounding
/// (overflow gives +-inf, underflow the correctly rounded subnormal or +-0) and the rest is
/// ignored; text without such a prefix (empty, ".", "-", "e", "+-1") gives 0.0.
/// The field holds only number characters (digits, '.', '+', '-', 'e', 'E'); other bytes
/// simply end the prefix. Never allocates, never reads outside [first, last).
double parse_field(const char* first, const char* last) noexcept;

}  // namespace lagstat::text
