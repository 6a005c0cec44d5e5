// Fixed-point number text with six decimals, as printf's "%f" writes it in the C locale.
//
// Magnitudes below 2^43 (about 8.8e12, which covers every coordinate a projection gives in
// practice) are rounded by exact integer arithmetic on the binary significand: with
// |v| = m * 2^-s, m < 2^53, the product m * 10^6 is exact in 128 bits, and shifting it right by s
// with the discarded bits compared against one half gives round(|v| * 10^6) half to even on the
// exact value, which is what glibc does in the default rounding mode. Larger magnitudes go through
// std::to_chars, whose fixed-precision path is exact as well. Neither consults the locale.
// Integer parts below 10^4 (a projection's coordinates, nearly always) are written by
// multiplications in fixed point without a divide or a loop, since these digits took as long as
// all the rest of a value.

#include "output/format.hpp"

#include <charconv>
#include <cstdint>
#include <cstring>

#include "cpu/isa.hpp"

namespace lagstat::output {
namespace detail {
namespace {

constexpr char digit_pairs[] =
    "00010203040506070809"
    "10111213141516171819"
    "20212223242526272829"
    "30313233343536373839"
    "40414243444546474849"
    "50515253545556575859"
    "60616263646566676869"
    "70717273747576777879"
    "80818283848586878889"
    "90919293949596979899";

inline void put_pair(char* p, unsigned v) noexcept {
    std::memcpy(p, digit_pairs + 2 * v, 2);
}

/// Decimal digits of x (1 for 0).
inline unsigned decimal_length(std::uint64_t x) noexcept {
    static constexpr std::uint64_t powers[] = {1,
                                               10,
                                               100,
                                               1000,
                                               10000,
                                               100000,
                                               1000000,
                                               10000000,
                                               100000000,
                                               1000000000,
                                               10000000000,
                                               100000000000,
                                               1000000000000,
                                               10000000000000,
                                               100000000000000,
                                               1000000000000000,
                                               10000000000000000,
                                               100000000000000000,
                                               1000000000000000000,
                                               10000000000000000000u};
    // floor(log10(2^(bits - 1))) from the bit length, then one more where x reaches the next
    // power; 0 counts as 1, which has as many digits.
    x |= 1;
    const auto bits = static_cast<unsigned>(64 - __builtin_clzll(x));
    const unsigned guess = (bits * 1233) >> 12;
    return guess + (x >= powers[guess] ? 1 : 0);
}

/// Writes v in decimal without leading zeros ("0" for zero): its length first, then its digits
/// by pairs from the last, in place.
inline char* put_unsigned(std::uint64_t v, char* p) noexcept {
    char* const end = p + decimal_length(v);
    char* q = end;
    while (v >= 100) {
        q -= 2;
        put_pair(q, static_cast<unsigned>(v % 100));
        v /= 100;
    }
    if (v >= 10) {
        put_pair(q - 2, static_cast<unsigned>(v));
    } else {
        q[-1] = static_cast<char>('0' + v);
    }
    return end;
}

/// Writes exactly six digits of v < 10^6.
inline char* put_six_digits(unsigned v, char* p) noexcept {
    const unsigned hi = v / 10000;
    const unsigned rest = v % 10000;
    put_pair(p, hi);
    put_pair(p + 2, rest / 100);
    put_pair(p + 4, rest % 100);
    return p + 6;
}

/// Six-decimal values q (round(|v| * 10^6)) below this have an integer part of at most four
/// digits, which short_digits writes.
constexpr std::uint64_t short_limit = 10000000000u;  // 10^10
/// ceil(2^64 / 10^6). q * reciprocal_1e6 is q / 10^6 in 64.64 fixed point, from above by less
/// than 2^-30 for q < 10^10 (the rounding up of the reciprocal, times q, is below 2^34): the
/// high word is the integer part, and each multiplication of the low word by 100 brings the
/// next two decimals into a high word, the error (at most 10^4 * 2^-30 before the last pair)
/// staying far below the 10^-6 to 10^-2 that lie between the exact rest and the next digit.
constexpr std::uint64_t reciprocal_1e6 = ~std::uint64_t{0} / 1000000 + 1;

/// Writes q / 10^6 "." q % 10^6 for q < short_limit: one multiplication splits off the integer
/// part, three more give the decimals by pairs, without divisions or a loop. A one-digit part is
/// written from its pair's second character; the stray byte after it is overwritten by the
/// point, so nothing is written past the returned end.
inline char* short_digits(std::uint64_t q, char* p) noexcept {
    unsigned __int128 y = static_cast<unsigned __int128>(q) * reciprocal_1e6;
    const auto whole = static_cast<unsigned>(y >> 64);
    if (whole < 100) {
        std::memcpy(p, digit_pairs + 2 * whole + (whole < 10 ? 1 : 0), 2);
        p += whole < 10 ? 1 : 2;
    } else {
        const unsigned high = whole / 100;
        std::memcpy(p, digit_pairs + 2 * high + (high < 10 ? 1 : 0), 2);
        p += high < 10 ? 1 : 2;
        put_pair(p, whole % 100);
        p += 2;
    }
    *p = '.';
    for (int pair = 0; pair < 3; ++pair) {
        y = static_cast<unsigned __int128>(static_cast<std::uint64_t>(y)) * 100;
        put_pair(p + 1 + 2 * pair, static_cast<unsigned>(y >> 64));
    }
    return p + 7;
}

constexpr int exponent_bias = 1023;
constexpr int significand_bits = 52;
/// Largest binary exponent of the integer path: |v| < 2^43 keeps round(|v| * 10^6) below 2^63.
constexpr int fast_exponent_limit = 43;

/// round(m * 10^6 / 2^s), half to even, for 10 <= s < 64 (|v| >= 2^-11): the discarded bits
/// all lie in the product's low word. Moved to its top they round up when above 2^63, or at
/// 2^63 when q is odd: adding q's last bit first makes that one comparison (the moved bits are
/// a multiple of two, so the add neither carries out nor lifts a value below one half above it).
inline std::uint64_t round_scaled(std::uint64_t m, int s) noexcept {
    const unsigned __int128 scaled = static_cast<unsigned __int128>(m) * 1000000u;
    const auto low = static_cast<std::uint64_t>(scaled);
    const auto high = static_cast<std::uint64_t>(scaled >> 64);
    const std::uint64_t q = (high << (64 - s)) | (low >> s);
    const std::uint64_t discarded = low << (64 - s);
    return q + ((discarded + (q & 1)) > (std::uint64_t{1} << 63) ? 1 : 0);
}

}  // namespace
}  // namespace detail

namespace detail {
namespace {

/// Every value: the common ones again (with integer parts of 10^4 and more), and the rest.
[[gnu::noinline, gnu::cold]] char* format_fixed6_general(double v, char* buf) noexcept {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    const bool negative = (bits >> 63) != 0;
    const int biased = static_cast<int>((bits >> significand_bits) & 0x7ff);
    const std::uint64_t fraction = bits & ((std::uint64_t{1} << significand_bits) - 1);

    char* p = buf;
    if (biased == 0x7ff) {
        if (negative) *p++ = '-';
        std::memcpy(p, fraction == 0 ? "inf" : "nan", 3);
        return p + 3;
    }
    if (biased >= exponent_bias + fast_exponent_limit) {
        // Large magnitudes: exact, and never reached by the common case.
        return std::to_chars(buf, buf + max_fixed6_length, v, std::chars_format::fixed, 6).ptr;
    }

    // |v| = m * 2^-s exactly, with s >= 10 here.
    const std::uint64_t m =
        biased != 0 ? fraction | (std::uint64_t{1} << significand_bits) : fraction;
    const int s = biased != 0 ? exponent_bias + significand_bits - biased
                              : exponent_bias + significand_bits - 1;
    std::uint64_t q = 0;  // round(|v| * 10^6), half to even
    if (s < 64) {
        // |v| >= 2^-11: the discarded bits all lie in the product's low word.
        q = round_scaled(m, s);
    } else if (s < 74) {
        // m * 10^6 < 2^73 <= 2^(s-1) once s >= 74: below one half, so q stays 0.
        const unsigned __int128 scaled = static_cast<unsigned __int128>(m) * 1000000u;
        q = static_cast<std::uint64_t>(scaled >> s);
        const unsigned __int128 rest = scaled & ((static_cast<unsigned __int128>(1) << s) - 1);
        const unsigned __int128 half = static_cast<unsigned __int128>(1) << (s - 1);
        if (rest > half || (rest == half && (q & 1) != 0)) ++q;
    }

    // "%f" keeps the sign of values that round to zero, and of -0.0. The '-' is stored either
    // way (the digits overwrite it), so that a random sign is no mispredicted branch.
    *p = '-';
    p += negative ? 1 : 0;
    if (q < short_limit) return short_digits(q, p);
    p = put_unsigned(q / 1000000, p);
    *p++ = '.';
    return put_six_digits(static_cast<unsigned>(q % 1000000), p);
}

}  // namespace
}  // namespace detail

char* format_fixed6(double v, char* buf) noexcept {
    using namespace detail;
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    const auto biased = static_cast<unsigned>((bits >> significand_bits) & 0x7ff);
    // The common case alone here, with no registers to save for the rest: 2^-11 <= |v| < 2^43,
    // where q = round(|v| * 10^6) takes 64-bit words, and q < 10^10.
    constexpr unsigned first_common = exponent_bias + significand_bits - 63;
    if (biased - first_common < exponent_bias + fast_exponent_limit - first_common) {
        const std::uint64_t m = (bits & ((std::uint64_t{1} << significand_bits) - 1)) |
                                (std::uint64_t{1} << significand_bits);
        const std::uint64_t q =
            round_scaled(m, static_cast<int>(exponent_bias + significand_bits - biased));
        if (q < short_limit) {
            // "%f" keeps the sign of values that round to zero. The '-' is stored either way
            // (the digits overwrite it), so that a random sign is no mispredicted branch.
            *buf = '-';
            return short_digits(q, buf + (bits >> 63));
        }
    }
    return format_fixed6_general(v, buf);
}

char* detail::format_lines_portable(const double* values, std::size_t count, std::size_t per_line,
                                    char* buf) noexcept {
    std::size_t column = 0;
    for (std::size_t i = 0; i < count; ++i) {
        buf = format_fixed6(values[i], buf);
        *buf++ = column + 1 == per_line ? '\n' : ' ';
        column = column + 1 == per_line ? 0 : column + 1;
    }
    return buf;
}

char* format_fixed6_lines(const double* values, std::size_t count, std::size_t per_line,
                          char* buf) noexcept {
    if (count == 0 || per_line == 0) return buf;  // no line holds a value
#if defined(LAGSTAT_AVX512_FORMAT)
    // The kernel choice (LAGSTAT_KERNEL_ISA) takes this back to one value at a time as well.
    if (cpu::active_isa() == cpu::isa::avx512 && cpu::avx512_vbmi2_supported())
        return detail::format_lines_avx512(values, count, per_line, buf);
#endif
    return detail::format_lines_portable(values, count, per_line, buf);
}

}  // namespace lagstat::output
