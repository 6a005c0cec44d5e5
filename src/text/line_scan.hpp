// The scan of one line of tabulated text, shared by the first line's count (text/first_line.hpp)
// and the chunk parser (a span of whole lines in memory), and by the tests' line-by-line walker
// (over refills of its buffer), so that all give the same records, bit for bit, and refuse the
// same lines for the same reason.
//
// A line is read by a state machine, BETWEEN fields and IN_FIELD:
// - BETWEEN: whitespace is skipped; a number character starts a field; '\n' or the end of the
//   input ends the line; a comma ends an empty field (value 0); a comment character skips the
//   rest of the line, which is a comment line (skipped, counted, and the scan goes on with the
//   next) when no field came before; any other byte is a fault.
// - IN_FIELD: number characters are the field's text (at most 256 of them); whitespace or a comma
//   ends the field and is consumed (so "1 ,2" is 1, 0, 2 but "1,2" is 1, 2); '\n', a comment
//   character or the end of the input ends the field and the line; any other byte is a fault.
// With the comma delimiter BETWEEN has two more states: AFTER_FIELD (whitespace ended a field:
// a field may not follow before a comma) and AFTER_COMMA (only a field may follow: a comma, a
// line end or a comment there is an empty field); a comma at the line's start is one too.
// A line without fields (empty or blank) counts 0, which is the end of the data, unless the
// layout skips blank lines: then it is skipped and counted as a comment line is.
//
// The window of bytes [p, end) is followed by a sentinel byte (NUL, which is never a number
// character nor whitespace) and scan_padding readable bytes, so that the scan loops need no bounds
// check: a scan that stops at the sentinel's address has run out of data and asks its feed for
// more. Fields lying wholly in the window are converted in place; a field cut by the window's end
// is gathered in a small local buffer over as many refills as it takes.
//
// The scan is compiled twice: for the default format (Options false: the constant character
// table, no comment or delimiter state, no checks the default format cannot need) and for the
// options. The sinks decide per field whether it is stored, only checked, or one too many.
#pragma once

#include <array>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(LAGSTAT_SCAN_WIDE) && defined(__x86_64__)
#include <smmintrin.h>
#endif

#include "text/char_classes.hpp"
#include "text/number.hpp"
#include "text/text_options.hpp"

// A translation unit may compile the scan for a wider instruction set (chunk_parser_wide.cpp):
// it names its own namespace here, so that the linker never takes one build's copy of an inline
// function for the other's.
#ifndef LAGSTAT_SCAN_ISA
#define LAGSTAT_SCAN_ISA baseline
#endif

namespace lagstat::text::detail {

/// Which compiled scan a layout takes: the default format's, or with comment characters and the
/// whitespace delimiter, or with the comma delimiter (and maybe comment characters). Each one has
/// only the state and the tests its format needs. (Outside the instruction set's namespace: a
/// type, the same for every build, that others declare.)
enum class scan_kind : unsigned char { plain, comments, comma };

inline namespace LAGSTAT_SCAN_ISA {

/// Bytes readable after the sentinel, so that the wide loads below never leave the buffer: loads
/// of 16 bytes at most 16 bytes after the window's last byte (a long field's second mask), and of
/// 8 bytes at most 7 bytes after a field's end.
inline constexpr std::size_t scan_padding = 32;

inline std::uint64_t load_word(const char* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    w = __builtin_bswap64(w);
#endif
    return w;  // p[0] is the low byte
}

// --- The masks of 16 bytes that the field kernels work from, per instruction set. -------------
// Bit i of *digits is set when p[i] is an ASCII digit, bit i of *points when p[i] is '.'.

#if defined(__SSE2__)
struct sse2_masks {
    static constexpr bool gathers_digits = false;
    static void of(const char* p, unsigned* digits, unsigned* points) noexcept {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        // Signed compares: bytes from 0x80 on are negative, below '0', as they should be.
        const __m128i at_least_0 = _mm_cmpgt_epi8(bytes, _mm_set1_epi8('0' - 1));
        const __m128i at_most_9 = _mm_cmplt_epi8(bytes, _mm_set1_epi8('9' + 1));
        *digits = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(at_least_0, at_most_9)));
        *points =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('.'))));
    }
};
#endif

// Eight bytes at a time in general registers: the same masks on any processor.
struct portable_masks {
    static constexpr bool gathers_digits = false;
    static constexpr std::uint64_t ones = 0x0101010101010101u;
    static constexpr std::uint64_t highs = 0x8080808080808080u;

    // Bit i of the result: the high bit of byte i of hits (the only bits set in hits).
    static unsigned gather(std::uint64_t hits) noexcept {
        // Each byte's bit lands on its own bit of the top byte: no two partial products overlap.
        return static_cast<unsigned>((((hits >> 7) * 0x0102040810204080u) >> 56) & 0xFF);
    }
    static void of8(std::uint64_t w, unsigned* digits, unsigned* points) noexcept {
        // x ^ '0' is below 10 exactly for the digits; adding 0x76 to the low seven bits sets the
        // high bit when they are 10 or more, without a carry into the next byte.
        const std::uint64_t d = w ^ (ones * '0');
        const std::uint64_t d_big = ((d & ~highs) + ones * (0x80 - 10)) | d;
        *digits = gather(~d_big & highs);
        const std::uint64_t t = w ^ (ones * '.');
        const std::uint64_t t_nonzero = ((t & ~highs) + ~highs) | t;
        *points = gather(~t_nonzero & highs);
    }
    static void of(const char* p, unsigned* digits, unsigned* points) noexcept {
        unsigned d0, p0, d1, p1;
        of8(load_word(p), &d0, &p0);
        of8(load_word(p + 8), &d1, &p1);
        *digits = d0 | d1 << 8;
        *points = p0 | p1 << 8;
    }
};

#if defined(__SSE2__)
using default_masks = sse2_masks;
#else
using default_masks = portable_masks;
#endif

#if defined(LAGSTAT_SCAN_WIDE) && defined(__x86_64__)
// Byte shuffles that right-align the first n bytes: the row read at right_align_index + n
// (0 <= n <= 16) moves bytes [0, n) to lanes [16 - n, 16) and zeroes the lanes below.
alignas(16) inline constexpr signed char right_align_index[32] = {
    -128, -128, -128, -128, -128, -128, -128, -128, -128, -128, -128, -128, -128, -128, -128, -128,
    0,    1,    2,    3,    4,    5,    6,    7,    8,    9,    10,   11,   12,   13,   14,   15};

// Row k takes byte k out: the bytes before it move up by one lane and lane 0 becomes zero.
struct drop_byte_table {
    alignas(16) signed char row[16][16];
    constexpr drop_byte_table() : row{} {
        for (int k = 0; k < 16; ++k)
            for (int t = 0; t < 16; ++t)
                row[k][t] = static_cast<signed char>(t > k ? t : t == 0 ? -128 : t - 1);
    }
};
inline constexpr drop_byte_table drop_byte_index{};

struct wide_masks {
    static constexpr bool gathers_digits = true;
    static void of(const char* p, unsigned* digits, unsigned* points) noexcept {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        // '0'..'9' moved to the ten lowest signed bytes, so that one compare finds them.
        const __m128i moved = _mm_add_epi8(bytes, _mm_set1_epi8(static_cast<char>(0x80 - '0')));
        *digits = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_cmpgt_epi8(_mm_set1_epi8(-128 + 10), moved)));
        *points =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('.'))));
    }
    // The value of the digits of the field [+-]digits[.digits] at p: int_end is the offset of the
    // byte after the integer digits (the point, or the field's end), frac_digits the number of
    // digits after the point, int_end + frac_digits <= 15 (so at most 15 digits).
    static std::uint64_t mantissa(const char* p, unsigned int_end, unsigned frac_digits) noexcept {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        // Saturating: the sign, the point and the separators become 0 with the digits' values.
        const __m128i values = _mm_subs_epu8(bytes, _mm_set1_epi8('0'));
        // Byte int_end out (the point; without one, the byte after the field), which puts the
        // field's digits on lanes up to int_end + frac_digits with a 0 in lane 0; then those
        // lanes right-aligned, so that lane 15 holds the last digit and the lanes before the
        // first digit hold 0.
        const __m128i drop =
            _mm_load_si128(reinterpret_cast<const __m128i*>(drop_byte_index.row[int_end]));
        const __m128i align = _mm_loadu_si128(
            reinterpret_cast<const __m128i*>(right_align_index + int_end + frac_digits + 1));
        const __m128i d = _mm_shuffle_epi8(_mm_shuffle_epi8(values, drop), align);
        const __m128i pairs = _mm_maddubs_epi16(
            d, _mm_setr_epi8(10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1));
        const __m128i fours = _mm_madd_epi16(pairs, _mm_setr_epi16(100, 1, 100, 1, 100, 1, 100, 1));
        const __m128i eights = _mm_madd_epi16(_mm_packus_epi32(fours, fours),
                                              _mm_setr_epi16(10000, 1, 10000, 1, 0, 0, 0, 0));
        const auto both = static_cast<std::uint64_t>(_mm_cvtsi128_si64(eights));
        return (both & 0xFFFFFFFFu) * 100000000u + (both >> 32);
    }
};
#endif

// Value of the first n (0..8) bytes of w, ASCII digits, the first one most significant.
inline std::uint64_t digits_value(std::uint64_t w, unsigned n) noexcept {
    if (n == 0) return 0;
    // Move the n digits to the top, with zero bytes (leading zeros) below them.
    std::uint64_t v = (w - 0x3030303030303030u) << (8 * (8 - n));
    v = v * 10 + (v >> 8);
    v = (((v & 0x000000FF000000FFu) * (100 + (std::uint64_t{1000000} << 32))) +
         (((v >> 16) & 0x000000FF000000FFu) * (1 + (std::uint64_t{10000} << 32)))) >>
        32;
    return v;
}

inline constexpr std::uint64_t powers_of_ten[] = {1,
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
// Exact powers of ten, positive then negative: dividing by -10^k negates the correctly rounded
// quotient (rounding to nearest is symmetric) and turns 0 into -0, as "-0.0" reads, without a
// branch on the sign, which real data make unpredictable.
inline constexpr double signed_powers_of_ten[2][9] = {
    {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8},
    {-1e0, -1e1, -1e2, -1e3, -1e4, -1e5, -1e6, -1e7, -1e8}};
// The same up to 10^22, the largest a double holds exactly (5^22 < 2^53), for the long kernel;
// rows of 32 so that the row is a shift away (the short table's 9 is one lea).
inline constexpr double long_signed_powers_of_ten[2][32] = {
    {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
     1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22},
    {-1e0,  -1e1,  -1e2,  -1e3,  -1e4,  -1e5,  -1e6,  -1e7,  -1e8,  -1e9,  -1e10, -1e11,
     -1e12, -1e13, -1e14, -1e15, -1e16, -1e17, -1e18, -1e19, -1e20, -1e21, -1e22}};

// Value of the n ASCII digits at s (n <= 19, so that it cannot wrap), eight at a time. Reads
// whole words: up to 7 bytes after the digits.
inline std::uint64_t digit_run_value(const char* s, unsigned n) noexcept {
    std::uint64_t v = 0;
    for (; n > 8; n -= 8, s += 8) v = v * 100000000u + digits_value(load_word(s), 8);
    return v * powers_of_ten[n] + digits_value(load_word(s), n);
}

// Longest digit count (both sides of the point) that the long-field path accumulates: 10^19 - 1
// fits in 64 bits.
inline constexpr unsigned max_long_field_digits = 19;

// The fields that the 16-byte kernel below leaves because they are too long for it ("%.15f"
// output, "%.17g" output without an exponent, long integers): [+-]digits[.digits] within 32
// bytes, with at most 19 digits whose value is at most 2^53. Clinger's fast path holds for them
// (an exact integer divided by an exact power of ten, at most 10^19), so the one divide is
// correctly rounded; anything else (more digits, a larger value, an exponent) returns false for
// the exact conversion.
template <class Masks>
[[gnu::always_inline]] inline bool convert_long_plain_field(const char* p, const char** last,
                                                            double* value) noexcept {
    unsigned d0, p0, d1, p1;
    Masks::of(p, &d0, &p0);
    Masks::of(p + 16, &d1, &p1);
    const std::uint64_t digits = d0 | std::uint64_t{d1} << 16;
    const std::uint64_t points = p0 | std::uint64_t{p1} << 16;
    const bool negative = *p == '-';
    const unsigned sign = static_cast<unsigned>(negative | (*p == '+'));
    const std::uint64_t stops =
        ((~digits & 0xFFFFFFFFu) | std::uint64_t{1} << 32) & ~std::uint64_t{sign};
    const unsigned int_end = static_cast<unsigned>(__builtin_ctzll(stops));
    unsigned field_end = int_end;
    unsigned frac_digits = 0;
    if ((points >> int_end) & 1u) {
        field_end = static_cast<unsigned>(__builtin_ctzll(stops & (stops - 1)));
        frac_digits = field_end - int_end - 1;
    }
    const unsigned int_digits = int_end - sign;
    if (field_end >= 32 || int_digits + frac_digits == 0 ||
        int_digits + frac_digits > max_long_field_digits)
        return false;
    const char* const q = p + field_end;
    if (default_classes[static_cast<unsigned char>(*q)] == number_char) return false;
    const char* const fraction = p + int_end + 1;
    std::uint64_t mantissa;
    if (int_digits <= 8 && frac_digits <= 16) {
        // The common long shape ("%.10f" to "%.15f" output): three words, no loop.
        const unsigned first = frac_digits < 8 ? frac_digits : 8;
        const unsigned second = frac_digits - first;
        mantissa = (digits_value(load_word(p + sign), int_digits) * powers_of_ten[first] +
                    digits_value(load_word(fraction), first)) *
                       powers_of_ten[second] +
                   digits_value(load_word(fraction + 8), second);
    } else {
        mantissa = digit_run_value(p + sign, int_digits) * powers_of_ten[frac_digits] +
                   digit_run_value(fraction, frac_digits);
    }
    if (mantissa > std::uint64_t{1} << 53) return false;
    *value = static_cast<double>(static_cast<std::int64_t>(mantissa)) /
             long_signed_powers_of_ten[negative][frac_digits];
    *last = q;
    return true;
}

// The field [p, q) that the short kernel below leaves, q being the end of its run of number
// characters (so the long kernel, if it takes the field, ends it there too). The only call the
// scan makes for a field wholly in its window: one call site keeps the scan's registers.
template <class Masks>
[[gnu::noinline]] double convert_other_field(const char* p, const char* q) noexcept {
    const char* last;
    double value;
    if (convert_long_plain_field<Masks>(p, &last, &value) && last == q) return value;
    return parse_field(p, q);
}

// Converts the common field shapes [+-]digits and [+-]digits.digits (the field and the byte after
// it within 16 bytes; at most 8 digits on each side of the point unless Masks gathers the digits
// in vector lanes), followed by a byte that is not a number character. On success sets *value
// (correctly rounded: an exact integer below 10^15 divided by an exact power of ten) and *last (the
// byte after the field) and returns true; otherwise the caller tries convert_long_plain_field, then
// the general path.
//
// It looks at the 16 bytes from p on at once, so that finding the field's end, which the next
// field waits for, costs one load and a few bit operations. Bytes after the first byte that is
// neither a digit nor the field's point are never interpreted; the sentinel is such a byte, so a
// field cut by the window's end comes back with *last at the sentinel.
template <class Masks>
inline bool convert_plain_field(const char* p, const char** last, double* value) noexcept {
    unsigned digits, points;
    Masks::of(p, &digits, &points);
    const bool negative = *p == '-';
    const unsigned sign = static_cast<unsigned>(negative | (*p == '+'));
    // Bit i is set where byte i is not a digit, bit 16 for what lies beyond the window; a
    // leading sign belongs to the field.
    const unsigned stops = ((~digits & 0xFFFFu) | 0x10000u) & ~sign;
    const unsigned int_end = static_cast<unsigned>(__builtin_ctz(stops));
    unsigned field_end = int_end;
    unsigned frac_digits = 0;
    if ((points >> int_end) & 1u) {
        field_end = static_cast<unsigned>(__builtin_ctz(stops & (stops - 1)));
        frac_digits = field_end - int_end - 1;
    }
    const unsigned int_digits = int_end - sign;
    if constexpr (Masks::gathers_digits) {
        // At most 15 digits: the mantissa is below 10^15 < 2^53.
        if (field_end >= 16 || int_digits + frac_digits == 0) return false;
    } else {
        if (field_end >= 16 || int_digits > 8 || frac_digits > 8 || int_digits + frac_digits == 0)
            return false;
    }
    const char* const q = p + field_end;
    // An exponent, or more text ("1e5", "1-2"): comment characters are never number characters,
    // so the default table answers for every table.
    if (default_classes[static_cast<unsigned char>(*q)] == number_char) return false;
    if constexpr (Masks::gathers_digits) {
        const std::uint64_t mantissa = Masks::mantissa(p, int_end, frac_digits);
        *value = static_cast<double>(static_cast<std::int64_t>(mantissa)) /
                 long_signed_powers_of_ten[negative][frac_digits];
    } else {
        const std::uint64_t mantissa =
            digits_value(load_word(p + sign), int_digits) * powers_of_ten[frac_digits] +
            digits_value(load_word(p + int_end + 1), frac_digits);
        // mantissa < 10^14: exact as a signed integer and as a double.
        *value = static_cast<double>(static_cast<std::int64_t>(mantissa)) /
                 signed_powers_of_ten[negative][frac_digits];
    }
    *last = q;
    return true;
}

// The end of the run of number characters that starts at p: for fields that are only checked,
// digits and points are passed over 16 bytes at a time, the rest one by one.
template <class Masks>
inline const char* number_run_end(const char* p) noexcept {
    unsigned digits, points;
    Masks::of(p + 1, &digits, &points);
    const char* q = p + 1 + __builtin_ctz(~(digits | points) | 0x10000u);
    while (default_classes[static_cast<unsigned char>(*q)] == number_char) ++q;
    return q;
}

// --- Sinks: where a line's fields go. At each field's first character room() tells whether the
// record takes one more field and slot() where it goes (skip_slot: checked, not converted).

inline constexpr int skip_slot = -1;

// Whether a sink's fields are converted: known at compile time for every sink but a selection,
// so that the default format's scan has no test for it.
enum class converts { always, never, by_slot };

/// The default format's counting: fields are checked, not converted.
struct count_sink {
    static constexpr converts conversion = converts::never;
    static bool room(int i) noexcept { return i < INT_MAX; }
    static int slot(int) noexcept { return skip_slot; }
    void store(int, double) noexcept {}
    int end_line(int count, error_kind&) const noexcept { return count; }
};

/// A data line of a resolved layout: exactly fields() fields, the selected ones (Select: by the
/// layout's slots, else all in order) stored at their record position (Store) or only checked;
/// returns the record's width.
template <bool Store, bool Select>
struct record_sink {
    static constexpr converts conversion = !Store   ? converts::never
                                           : Select ? converts::by_slot
                                                    : converts::always;
    double* out;
    const int* slots;
    int fields;
    int width;
    record_sink(double* o, const parse_layout& layout) noexcept
        : out(o), slots(layout.slots()), fields(layout.fields()), width(layout.width()) {}
    bool room(int i) const noexcept { return i < fields; }
    int slot(int i) const noexcept {
        if constexpr (!Store) return skip_slot;
        if constexpr (Select) return slots[i];
        return i;
    }
    void store(int s, double v) noexcept { out[s] = v; }
    int end_line(int count, error_kind& error) const noexcept {
        if (count == fields) return width;
        if (count != 0) error = error_kind::wrong_field_count;
        return count == 0 ? 0 : -1;
    }
};

// --- The scan. --------------------------------------------------------------------------------

/// The feed of a scan over bytes that are all in memory: there are no more. Running into the
/// end is noted, since a line cut there is whole only if nothing follows the span.
struct span_feed {
    bool hit_end = false;
    bool more(const char*&, const char*&) noexcept {
        hit_end = true;
        return false;
    }
    static bool failed() noexcept { return false; }
};

/// What a scan tells besides its result.
struct line_report {
    error_kind error = error_kind::none;  // why -1
    std::uint64_t comment_lines = 0;      // comment lines skipped before the line read
    std::uint64_t blank_lines = 0;        // of them, blank lines (skip_blank)
    const char* line_start = nullptr;     // where the line read starts (after those comment lines)
};

// Feeds: more(p, end) moves the window on and returns true, or returns false at the input's end
// (or on a read error, which failed() then tells).

// Skips the rest of the line, its '\n' included. False if the input ended first.
template <class Feed>
inline bool skip_rest_of_line(const char*& p, const char*& end, Feed& feed) {
    for (;;) {
        const void* nl = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
        if (nl != nullptr) {
            p = static_cast<const char*>(nl) + 1;
            return true;
        }
        p = end;
        if (!feed.more(p, end)) return false;
    }
}

/// Calls f with the layout's scan kind as a compile-time constant.
template <class F>
decltype(auto) with_scan_kind(const parse_layout& layout, F&& f) {
    if (layout.plain()) return f(std::integral_constant<scan_kind, scan_kind::plain>{});
    if (layout.comma_only()) return f(std::integral_constant<scan_kind, scan_kind::comma>{});
    return f(std::integral_constant<scan_kind, scan_kind::comments>{});
}

/// Scans one line from pos: returns the sink's result for it (n > 0 for a line with fields, 0
/// for the end of the data), or -1 with report.error set. pos and window_end move on to the next
/// line.
///
/// Inlined into its callers (a loop over lines, or the reader's per-line bookkeeping) so that the
/// window, the sink's pointers and the report live in registers. The sink is copied for the same
/// reason: sinks are a few pointers and counts, not changed by the scan.
template <scan_kind Kind, class Masks, class Sink, class Feed>
[[gnu::always_inline]] inline int scan_line(const char*& pos, const char*& window_end,
                                            const parse_layout& layout, Sink sink, Feed& feed,
                                            line_report& report) {
    constexpr bool Options = Kind != scan_kind::plain;
    constexpr bool comma_only = Kind == scan_kind::comma;
    const unsigned char* const classes = Options ? layout.classes() : default_classes.data();
    auto class_of = [classes](const char* x) { return classes[static_cast<unsigned char>(*x)]; };

    // Comma delimiter only: what the last separator allows next.
    enum class separator : unsigned char { none, after_field, after_comma };
    [[maybe_unused]] separator state = separator::none;

    const char* p = pos;
    const char* end = window_end;
    int count = 0;
    auto done = [&](int result) {
        pos = p;
        window_end = end;
        return result;
    };
    auto fail = [&](error_kind why) {
        report.error = why;
        return done(-1);
    };
    auto end_line = [&]() { return done(sink.end_line(count, report.error)); };
    if constexpr (Options) report.line_start = p;

    for (;;) {
        // BETWEEN fields.
        unsigned char cls;
        while ((cls = class_of(p)) == space_char) ++p;
        if (cls != number_char) {
            if (p == end) {  // the sentinel: out of data
                if (feed.more(p, end)) continue;
                if (feed.failed()) return fail(error_kind::read_error);
                if constexpr (comma_only)
                    if (state == separator::after_comma) return fail(error_kind::empty_field);
                return end_line();
            }
            if constexpr (Options)
                if (cls == other_char) return fail(error_kind::bad_character);
            if constexpr (comma_only) {
                // A comma that no field follows: a line end, another comma, a comment.
                if (state == separator::after_comma) return fail(error_kind::empty_field);
            }
            ++p;
            if (cls == newline_char) {
                if constexpr (Options) {
                    if (count == 0 && layout.skip_blank()) {
                        ++report.comment_lines;
                        ++report.blank_lines;
                        report.line_start = p;
                        if (p == end) {
                            if (feed.more(p, end)) continue;
                            if (feed.failed()) return fail(error_kind::read_error);
                            return end_line();
                        }
                        continue;
                    }
                }
                return end_line();
            }
            if (cls == comma_char) {
                if constexpr (comma_only) {
                    if (state != separator::after_field) return fail(error_kind::empty_field);
                    state = separator::after_comma;
                    continue;
                }
                if (!sink.room(count)) return fail(error_kind::wrong_field_count);
                const int s = sink.slot(count);
                if (s >= 0) sink.store(s, 0.0);
                ++count;
                continue;
            }
            if constexpr (Options) {
                if (cls == comment_char) {
                    const bool whole_line = count == 0;
                    const bool complete = skip_rest_of_line(p, end, feed);
                    if (!complete && feed.failed()) return fail(error_kind::read_error);
                    // A comment line that the input's end cuts is this call's line, so that a
                    // span that is not final leaves it whole for the next.
                    if (!whole_line || !complete) return end_line();
                    ++report.comment_lines;
                    report.line_start = p;
                    // The window may end with this line and the bytes after it (the next
                    // piece of a buffer parsed in place) are not this scan's to read.
                    if (p == end) {
                        if (feed.more(p, end)) continue;
                        if (feed.failed()) return fail(error_kind::read_error);
                        return end_line();
                    }
                    continue;  // the next line, as if it were this one
                }
            }
            return fail(error_kind::bad_character);
        }
        if constexpr (comma_only)
            if (state == separator::after_field) return fail(error_kind::missing_delimiter);

        // IN_FIELD: p is the field's first character.
        if (!sink.room(count)) return fail(error_kind::wrong_field_count);
        const int s = sink.slot(count);
        const bool convert =
            Sink::conversion == converts::by_slot ? s >= 0 : Sink::conversion == converts::always;
        const char* q;
        double value = 0.0;
        bool input_ended = false;
        if (!convert || !convert_plain_field<Masks>(p, &q, &value) || q == end) {
            if (convert) {
                q = p + 1;
                while (class_of(q) == number_char) ++q;
            } else {
                q = number_run_end<Masks>(p);
            }
            if (q != end) {
                if (static_cast<std::size_t>(q - p) > max_field_length)
                    return fail(error_kind::field_too_long);
                if (convert) value = convert_other_field<Masks>(p, q);
            } else {
                // The field runs to the end of the window: gather it across refills.
                char field[max_field_length + 1];
                std::size_t length = static_cast<std::size_t>(q - p);
                if (length > max_field_length) return fail(error_kind::field_too_long);
                if (convert) std::memcpy(field, p, length);
                for (;;) {
                    p = end;
                    if (!feed.more(p, end)) {
                        if (feed.failed()) return fail(error_kind::read_error);
                        input_ended = true;  // the end of the input ends the field and the line
                        break;
                    }
                    q = p;
                    while (class_of(q) == number_char) ++q;
                    const std::size_t more = static_cast<std::size_t>(q - p);
                    if (more > max_field_length - length) return fail(error_kind::field_too_long);
                    if (convert) std::memcpy(field + length, p, more);
                    length += more;
                    if (q != end) break;
                }
                if (convert) value = parse_field(field, field + length);
            }
        }
        if (convert) sink.store(s, value);
        ++count;
        if (input_ended) return end_line();

        // The byte that ended the field (q != end, so it is real data).
        cls = class_of(q);
        p = q + 1;
        if (cls == space_char) {
            if constexpr (comma_only) state = separator::after_field;
            continue;
        }
        if (cls == comma_char) {
            if constexpr (comma_only) state = separator::after_comma;
            continue;
        }
        if (cls == newline_char) return end_line();
        if constexpr (Options) {
            if (cls == comment_char) {
                if (!skip_rest_of_line(p, end, feed) && feed.failed())
                    return fail(error_kind::read_error);
                return end_line();
            }
        }
        p = q;
        return fail(error_kind::bad_character);
    }
}

}  // namespace LAGSTAT_SCAN_ISA
}  // namespace lagstat::text::detail
