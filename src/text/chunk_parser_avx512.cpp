// The chunk parser compiled for AVX-512 (F, BW, DQ, VBMI, VBMI2) with BMI2, through a target
// region as chunk_parser_wide.cpp: the same line scan, plus a kernel that takes whole lines of the
// default format 64 bytes at a time. One step classifies a 64-byte window into bit masks (digits,
// points, minus signs, separators, the line's end, anything else), finds every field's start,
// point and end from them with a few bit operations, and converts up to eight fields per vector:
// the digits before and after the point gathered into 64-bit lanes by byte permutes, multiplied
// and added into two integers, and one exact divide by the power of ten of the fraction's length.
// It takes only lines it can read without doubt: [-]d{1,8}[.d{1,8}] fields of at most 15 digits,
// separated by whitespace or by a comma right after a field, all in the span, ended by '\n', with
// exactly the layout's field count. Every other line (comments, exponents, '+', long fields, empty
// fields, a wrong count, a cut line, the sentinel) is left to the state machine from the line's
// start, which writes the whole record again or refuses the line, so the records and the refusals
// are those of the other builds, bit for bit.
//
// Why it is faster: the state machine spends ~75 of a short field's ~96 instructions on finding
// the field and checking its neighbours one field after the other; here those are bit operations
// on a whole window (about 60 instructions for 5 to 7 fields) and the conversion runs eight fields
// wide.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "text/char_classes.hpp"
#include "text/chunk_parser.hpp"
#include "text/number.hpp"
#include "text/text_options.hpp"

#if defined(LAGSTAT_AVX512_CHUNK_PARSER)

#include <immintrin.h>

#include "cpu/avx512_vbmi2_begin.hpp"

#define LAGSTAT_SCAN_WIDE 1
#define LAGSTAT_SCAN_ISA avx512_vbmi2
#include "text/line_scan.hpp"

namespace lagstat::text {
namespace detail {
inline namespace LAGSTAT_SCAN_ISA {
namespace {

// A byte's class as bits, looked up by its low six bits (bytes from 64 on have none: every byte
// the format gives a meaning to but 'e', 'E' and '+', which the kernel leaves, is below 64).
enum : unsigned char {
    k_digit = 1,
    k_point = 2,
    k_minus = 4,
    k_space = 8,
    k_comma = 16,
    k_newline = 32,
};

struct window_table {
    alignas(64) unsigned char cls[64];
    alignas(64) unsigned char iota[64];
    // Byte 8q + t: q, the field a 64-bit lane takes; and t - 8, its byte's place before an end.
    alignas(64) unsigned char lane_field[64];
    alignas(64) signed char lane_back[64];
    constexpr window_table() : cls{}, iota{}, lane_field{}, lane_back{} {
        for (int c = '0'; c <= '9'; ++c) cls[c] = k_digit;
        cls[int{'.'}] = k_point;
        cls[int{'-'}] = k_minus;
        for (int c : {' ', '\t', '\v', '\f', '\r'}) cls[c] = k_space;
        cls[int{','}] = k_comma;
        cls[int{'\n'}] = k_newline;
        for (int i = 0; i < 64; ++i) {
            iota[i] = static_cast<unsigned char>(i);
            lane_field[i] = static_cast<unsigned char>(i / 8);
            lane_back[i] = static_cast<signed char>(i % 8 - 8);
        }
    }
};
inline constexpr window_table window{};

alignas(64) inline constexpr double powers_up_to_15[16] = {
    1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

// The value of each 64-bit lane's eight digit bytes (0..9 each, the first byte most significant).
[[gnu::always_inline]] inline __m512i eight_digits(__m512i d) noexcept {
    const __m512i pairs = _mm512_maddubs_epi16(d, _mm512_set1_epi16(0x010A));       // 10, 1
    const __m512i fours = _mm512_madd_epi16(pairs, _mm512_set1_epi32(0x00010064));  // 100, 1
    return _mm512_add_epi64(_mm512_mul_epu32(fours, _mm512_set1_epi64(10000)),
                            _mm512_srli_epi64(fours, 32));
}

}  // namespace

/// The masks of the wide build, with the whole-line kernel of the default format beside them.
struct avx512_masks : wide_masks {
    /// Parses the lines from pos on as records of `fields` values at out, out + stride, ...,
    /// at most max_records of them, until a line it leaves (see above) or end. pos moves past the
    /// lines taken; a line left has none of its record's values relied upon. Returns the count.
    static std::size_t parse_lines(const char*& pos, const char* const end, const int fields,
                                   double* out, const std::size_t stride,
                                   const std::size_t max_records) noexcept {
        const __m512i classes = _mm512_load_si512(window.cls);
        const __m512i iota = _mm512_load_si512(window.iota);
        const __m512i lane_field = _mm512_load_si512(window.lane_field);
        const __m512i lane_back = _mm512_load_si512(window.lane_back);
        const __m512d powers_low = _mm512_load_pd(powers_up_to_15);
        const __m512d powers_high = _mm512_load_pd(powers_up_to_15 + 8);
        const char* p = pos;
        std::size_t done = 0;
        while (done < max_records && p != end) {
            const char* w = p;  // the window: the line's start, then where a field starts
            int count = 0;
            for (;;) {
                // Bytes from end on (the sentinel, the padding or the next piece's text) read as
                // NUL, which no line taken holds; a masked load reads nothing beyond them.
                const std::ptrdiff_t left = end - w;
                const __m512i bytes =
                    left >= 64 ? _mm512_loadu_si512(w)
                               : _mm512_maskz_loadu_epi8(
                                     _bzhi_u64(~std::uint64_t{0}, static_cast<unsigned>(left)), w);
                const __mmask64 ascii_low =
                    _mm512_testn_epi8_mask(bytes, _mm512_set1_epi8(static_cast<char>(0xC0)));
                const __m512i cls = _mm512_maskz_permutexvar_epi8(ascii_low, bytes, classes);
                const std::uint64_t digit = _mm512_test_epi8_mask(cls, _mm512_set1_epi8(k_digit));
                const std::uint64_t point = _mm512_test_epi8_mask(cls, _mm512_set1_epi8(k_point));
                const std::uint64_t minus = _mm512_test_epi8_mask(cls, _mm512_set1_epi8(k_minus));
                const std::uint64_t comma = _mm512_test_epi8_mask(cls, _mm512_set1_epi8(k_comma));
                const std::uint64_t newline =
                    _mm512_test_epi8_mask(cls, _mm512_set1_epi8(k_newline));
                const std::uint64_t known = _mm512_test_epi8_mask(cls, cls);
                const std::uint64_t field = digit | point | minus;

                // The bytes this step reads: up to the line's end, or up to the start of a field
                // that the window cuts (the next step starts there), or all 64.
                unsigned reach;
                const bool line_end = newline != 0;
                if (line_end)
                    reach = static_cast<unsigned>(_tzcnt_u64(newline));
                else if (static_cast<std::int64_t>(field) < 0)
                    reach = field == ~std::uint64_t{0}
                                ? 0
                                : 64 - static_cast<unsigned>(__builtin_clzll(~field));
                else
                    reach = 64;
                const std::uint64_t in_reach = _bzhi_u64(~std::uint64_t{0}, reach);
                // The byte before the window is never a field byte: the line's start, the byte
                // before a field, or (a window after 64 bytes without a cut field) a separator.
                const std::uint64_t after_field = field << 1;
                const std::uint64_t starts = field & ~after_field & in_reach;
                const std::uint64_t ends =
                    ~field & after_field & _bzhi_u64(~std::uint64_t{0}, reach + 1);
                // Each point's carry runs to its field's end: a second point in a field keeps a
                // bit of its own, and the ends of fields with a point are the carries' landings.
                const std::uint64_t carried = field + point;
                std::uint64_t doubt = ~known;
                doubt |= comma & ~after_field;  // an empty field: the state machine's
                doubt |=
                    minus & (after_field | ~(digit >> 1));  // only a leading '-', a digit after
                doubt |= point & ~((digit << 1) & (digit >> 1));  // digits either side of a point
                doubt |= carried & point;
                if ((doubt & in_reach) != 0 || (reach == 0 && !line_end)) goto leave;
                {
                    const std::uint64_t int_ends = (point & in_reach) | (ends & ~carried);
                    const std::uint64_t first_digits = (starts & ~minus) | ((starts & minus) << 1);
                    const int k = static_cast<int>(_mm_popcnt_u64(starts));
                    if (k > fields - count) goto leave;
                    if (k != 0) {
                        const __m512i firsts = _mm512_maskz_compress_epi8(first_digits, iota);
                        const __m512i int_end = _mm512_maskz_compress_epi8(int_ends, iota);
                        const __m512i field_end = _mm512_maskz_compress_epi8(ends, iota);
                        const __mmask64 negative = _mm512_cmpeq_epi8_mask(
                            _mm512_maskz_compress_epi8(starts, bytes), _mm512_set1_epi8('-'));
                        const __m512i int_digits = _mm512_sub_epi8(int_end, firsts);
                        const __m512i frac_digits = _mm512_subs_epu8(
                            _mm512_sub_epi8(field_end, int_end), _mm512_set1_epi8(1));
                        const __mmask64 taken =
                            _bzhi_u64(~std::uint64_t{0}, static_cast<unsigned>(k));
                        const __m512i eight = _mm512_set1_epi8(8);
                        if ((_mm512_mask_cmpgt_epu8_mask(taken, int_digits, eight) |
                             _mm512_mask_cmpgt_epu8_mask(taken, frac_digits, eight) |
                             _mm512_mask_cmpgt_epu8_mask(taken,
                                                         _mm512_add_epi8(int_digits, frac_digits),
                                                         _mm512_set1_epi8(15))) != 0)
                            goto leave;
                        const __m512i values = _mm512_sub_epi8(bytes, _mm512_set1_epi8('0'));
                        double* const record = out + count;
                        for (int g = 0; g < k; g += 8) {
                            const __m512i which =
                                _mm512_add_epi8(lane_field, _mm512_set1_epi8(static_cast<char>(g)));
                            const __m512i first_g = _mm512_permutexvar_epi8(which, firsts);
                            const __m512i int_end_g = _mm512_permutexvar_epi8(which, int_end);
                            const __m512i field_end_g = _mm512_permutexvar_epi8(which, field_end);
                            // Lane byte t takes the byte 8 - t places before the integer digits'
                            // end (and before the field's end): right-aligned digits, zeros
                            // before the first digit (and before the fraction).
                            const __m512i int_at = _mm512_add_epi8(int_end_g, lane_back);
                            const __m512i frac_at = _mm512_add_epi8(field_end_g, lane_back);
                            const __m512i int_part = eight_digits(_mm512_maskz_permutexvar_epi8(
                                _mm512_cmpge_epi8_mask(int_at, first_g), int_at, values));
                            const __m512i frac_part = eight_digits(_mm512_maskz_permutexvar_epi8(
                                _mm512_cmpgt_epi8_mask(frac_at, int_end_g), frac_at, values));
                            const __m512i frac_length = _mm512_and_si512(
                                _mm512_subs_epu8(_mm512_sub_epi8(field_end_g, int_end_g),
                                                 _mm512_set1_epi8(1)),
                                _mm512_set1_epi64(0xFF));
                            // int_part * 10^k + frac_part is below 10^15 < 2^53, so each step
                            // is exact in doubles, and Clinger's one correctly rounded divide by
                            // the exact 10^k gives atof's value.
                            const __m512d power =
                                _mm512_permutex2var_pd(powers_low, frac_length, powers_high);
                            __m512d v = _mm512_div_pd(
                                _mm512_add_pd(_mm512_mul_pd(_mm512_cvtepi64_pd(int_part), power),
                                              _mm512_cvtepi64_pd(frac_part)),
                                power);
                            // -(m / 10^k) is m / -10^k (rounding is symmetric), -0.0 for "-0.0".
                            v = _mm512_mask_xor_pd(v, static_cast<__mmask8>(negative >> g), v,
                                                   _mm512_set1_pd(-0.0));
                            const unsigned n = static_cast<unsigned>(k - g) < 8u
                                                   ? static_cast<unsigned>(k - g)
                                                   : 8u;
                            _mm512_mask_storeu_pd(record + g,
                                                  static_cast<__mmask8>(_bzhi_u32(0xFF, n)), v);
                        }
                        count += k;
                    }
                    if (line_end) {
                        if (count != fields) goto leave;
                        p = w + reach + 1;
                        out += stride;
                        ++done;
                        break;
                    }
                    w += reach;
                }
            }
        }
    leave:
        pos = p;
        return done;
    }
};

}  // namespace LAGSTAT_SCAN_ISA
}  // namespace detail

namespace {

#include "text/chunk_parse_loop.hpp"

}  // namespace

chunk_result detail::parse_chunk_avx512(const char* begin, const char* end,
                                        const parse_layout& layout, double* out, std::size_t stride,
                                        std::size_t max_records, bool final_span) {
    return dispatch<avx512_masks>(begin, end, layout, out, stride, max_records, final_span);
}

}  // namespace lagstat::text

#include "cpu/avx512_vbmi2_end.hpp"

#endif
