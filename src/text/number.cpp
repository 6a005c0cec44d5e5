// Field text to double, bit for bit as the C library's atof in the C locale.
//
// Most fields of real files (printf "%f" output and the like) have at most 19 significant digits
// and a small power of ten; they take Clinger's fast path: the digits as an exact integer and one
// correctly rounded multiply or divide by an exact power of ten. Everything else goes to
// std::from_chars (correctly rounded, locale-free), and the values it reports as out of range go
// to strtod_l in a C locale of our own.
#include "text/number.hpp"

#include <locale.h>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace lagstat::text {
namespace detail {
namespace {

// Powers of ten that a double holds exactly (5^22 < 2^53).
constexpr double exact_powers_of_ten[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                          1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                          1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr int max_exact_power = 22;
constexpr std::uint64_t max_exact_integer = std::uint64_t{1} << 53;
// 10^19 - 1 < 2^64: up to 19 digits accumulate without wrapping.
constexpr std::ptrdiff_t max_exact_digits = 19;

inline bool is_digit(char c) noexcept {
    return static_cast<unsigned char>(c - '0') < 10;
}

// The C locale as a locale_t, made once (thread-safe static initialisation). Null only if
// newlocale failed, which it does not for "C".
locale_t c_locale() noexcept {
    static const locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return loc;
}

// Number of digits from the first non-zero one on, over the digits [int_first, int_last) and
// [frac_first, frac_last).
std::ptrdiff_t significant_digits(const char* int_first, const char* int_last,
                                  const char* frac_first, const char* frac_last) noexcept {
    while (int_first != int_last && *int_first == '0') ++int_first;
    if (int_first != int_last) return (int_last - int_first) + (frac_last - frac_first);
    while (frac_first != frac_last && *frac_first == '0') ++frac_first;
    return frac_last - frac_first;
}

// Value of a number whose correctly rounded magnitude is 0 or infinite (what from_chars reports
// as out of range), decided by the decimal position of its leading non-zero digit.
double out_of_range_value(const char* int_first, const char* int_last, const char* frac_first,
                          const char* frac_last, long long exponent) noexcept {
    while (int_first != int_last && *int_first == '0') ++int_first;
    long long leading;  // the leading digit's power of ten, before the exponent
    if (int_first != int_last) {
        leading = int_last - int_first - 1;
    } else {
        const char* f = frac_first;
        while (f != frac_last && *f == '0') ++f;
        leading = -(f - frac_first) - 1;
    }
    return leading + exponent >= 0 ? __builtin_inf() : 0.0;
}

// The correctly rounded magnitude of the unsigned number text [first, last), which starts with a
// digit or with '.' and a digit and is a number to its end. The remaining arguments locate its
// digits and give its exponent, for out-of-range numbers too long to copy for strtod_l.
double convert_slow(const char* first, const char* last, const char* int_last,
                    const char* frac_first, const char* frac_last, long long exponent) noexcept {
    double value = 0.0;
    const std::from_chars_result r = std::from_chars(first, last, value);
    if (r.ec == std::errc()) return value;
    // Out of range: the correctly rounded result is 0 or infinite. strtod_l is the reference
    // implementation; the number's text is copied so that it can be NUL-terminated.
    const std::size_t length = static_cast<std::size_t>(r.ptr - first);
    char text[2 * max_field_length + 2];
    const locale_t loc = c_locale();
    if (loc != nullptr && length < sizeof text) {
        std::memcpy(text, first, length);
        text[length] = '\0';
        return strtod_l(text, nullptr, loc);
    }
    return out_of_range_value(first, int_last, frac_first, frac_last, exponent);
}

}  // namespace
}  // namespace detail

double parse_field(const char* first, const char* last) noexcept {
    using namespace detail;
    const char* p = first;
    bool negative = false;
    if (p != last && (*p == '-' || *p == '+')) {
        negative = *p == '-';
        ++p;
    }
    const char* const number_first = p;

    // Digits before and after the point, accumulated as one integer (wrapping if there are
    // more than 19 significant ones, which is checked below).
    std::uint64_t mantissa = 0;
    const char* const int_first = p;
    while (p != last && is_digit(*p)) {
        mantissa = mantissa * 10 + static_cast<unsigned>(*p - '0');
        ++p;
    }
    const char* const int_last = p;
    const char* frac_first = p;
    if (p != last && *p == '.') {
        ++p;
        frac_first = p;
        while (p != last && is_digit(*p)) {
            mantissa = mantissa * 10 + static_cast<unsigned>(*p - '0');
            ++p;
        }
    }
    const char* const frac_last = p;
    const std::ptrdiff_t digit_count = (int_last - int_first) + (frac_last - frac_first);
    if (digit_count == 0) return 0.0;  // no number at all: "", ".", "-", "e5", "+-1"

    // Exponent, if 'e' or 'E' is followed by an optionally signed digit; otherwise the 'e' and
    // what follows are not part of the number. Huge exponents are clamped: any exponent beyond
    // the clamp already gives 0 or infinity for every mantissa of sane length.
    long long exponent = 0;
    if (p != last && (*p | 0x20) == 'e') {
        const char* e = p + 1;
        bool exponent_negative = false;
        if (e != last && (*e == '-' || *e == '+')) {
            exponent_negative = *e == '-';
            ++e;
        }
        if (e != last && is_digit(*e)) {
            long long x = 0;
            while (e != last && is_digit(*e)) {
                if (x < 100000000) x = x * 10 + (*e - '0');
                ++e;
            }
            exponent = exponent_negative ? -x : x;
            p = e;
        }
    }

    const bool exact =
        digit_count <= max_exact_digits ||
        significant_digits(int_first, int_last, frac_first, frac_last) <= max_exact_digits;
    if (exact) {
        if (mantissa == 0) return negative ? -0.0 : 0.0;
        long long power = exponent - (frac_last - frac_first);
        if (mantissa <= max_exact_integer) {
            double value;
            if (power >= 0 && power <= max_exact_power) {
                value = static_cast<double>(mantissa) * exact_powers_of_ten[power];
                return negative ? -value : value;
            }
            if (power < 0 && power >= -max_exact_power) {
                value = static_cast<double>(mantissa) / exact_powers_of_ten[-power];
                return negative ? -value : value;
            }
            // Small integers with a larger power: move the excess into the integer while it
            // stays exact ("12e25" = 12000 * 10^22).
            if (power > max_exact_power && power <= max_exact_power + 15) {
                std::uint64_t scaled = mantissa;
                for (long long k = power - max_exact_power; k > 0 && scaled <= max_exact_integer;
                     --k)
                    scaled *= 10;
                if (scaled <= max_exact_integer) {
                    value = static_cast<double>(scaled) * exact_powers_of_ten[max_exact_power];
                    return negative ? -value : value;
                }
            }
        }
    }
    const double magnitude =
        convert_slow(number_first, p, int_last, frac_first, frac_last, exponent);
    return negative ? -magnitude : magnitude;
}

}  // namespace lagstat::text
