// "%f" of eight values at a time, for AVX-512 (F, BW, DQ, VBMI, VBMI2) through a target region:
// the common case of format_fixed6 (2^-11 <= |v| < 2^43 with an integer part below 10^4), in
// vector lanes. Per lane, q = round(|v| * 10^6) half to even exactly as format_fixed6 has it
// (the 73-bit product m * 10^6 from 32-bit multiplies, shifted by the exponent, the discarded
// bits against one half); the integer part and the decimals split into five numbers below 100
// by multiplications with exact reciprocals; those looked up as two characters each in a table
// of 128 bytes; each value's sixteen-byte slot assembled by a byte permute ("-dddd.dddddd" and
// its separator); and the leading zeros and a plus sign's place squeezed out of four slots at
// once by a byte compress, which leaves the values' texts one after the other. A group of eight
// with any value outside the case goes to format_fixed6 one value at a time.
#include <cstddef>
#include <cstdint>

#include "output/format.hpp"

#if defined(LAGSTAT_AVX512_FORMAT)

#include <immintrin.h>

#include "cpu/avx512_vbmi2_begin.hpp"

namespace lagstat::output::detail {
namespace {

// The characters of a byte y: y < 100 is two digits, tens and ones; the codes above give the
// slot's fixed characters, the same in both tables.
enum : unsigned char { code_point = 100, code_minus = 101, code_space = 102, code_newline = 103 };

struct digit_tables {
    alignas(64) unsigned char tens[128];
    alignas(64) unsigned char ones[128];
    // Slot byte b of value s (four values a vector) taken from the tens (below 64) or the ones
    // (64 on) of value s's lane: bytes 0..2 unused, 3 the sign, 4..7 the integer part's four
    // digits, 8 the point, 9..14 the decimals, 15 the separator.
    alignas(64) unsigned char slot[2][64];
    constexpr digit_tables() : tens{}, ones{}, slot{} {
        for (int y = 0; y < 128; ++y) {
            tens[y] = static_cast<unsigned char>('0' + y / 10 % 10);
            ones[y] = static_cast<unsigned char>('0' + y % 10);
        }
        tens[code_point] = ones[code_point] = '.';
        tens[code_minus] = ones[code_minus] = '-';
        tens[code_space] = ones[code_space] = ' ';
        tens[code_newline] = ones[code_newline] = '\n';
        // Lane bytes: 0 the integer's hundreds and thousands, 1 its ones and tens, 2..4 the
        // decimals by pairs, 5 the minus, 6 the point, 7 the separator.
        constexpr int from[16][2] = {{0, 5}, {0, 5}, {0, 5}, {0, 5}, {0, 0}, {1, 0},
                                     {0, 1}, {1, 1}, {0, 6}, {0, 2}, {1, 2}, {0, 3},
                                     {1, 3}, {0, 4}, {1, 4}, {0, 7}};
        for (int half = 0; half < 2; ++half)
            for (int s = 0; s < 4; ++s)
                for (int b = 0; b < 16; ++b)
                    slot[half][16 * s + b] = static_cast<unsigned char>(
                        64 * from[b][0] + 8 * (4 * half + s) + from[b][1]);
    }
};
inline constexpr digit_tables tables{};

}  // namespace

char* format_lines_avx512(const double* y, std::size_t count, std::size_t per_line,
                          char* p) noexcept {
    const __m512i tens_lo = _mm512_load_si512(tables.tens),
                  tens_hi = _mm512_load_si512(tables.tens + 64);
    const __m512i ones_lo = _mm512_load_si512(tables.ones),
                  ones_hi = _mm512_load_si512(tables.ones + 64);
    const __m512i slot_lo = _mm512_load_si512(tables.slot[0]);
    const __m512i slot_hi = _mm512_load_si512(tables.slot[1]);
    const __m512i one = _mm512_set1_epi64(1);
    // The column of each lane's value in its line, and how far eight values move it.
    alignas(64) std::uint64_t first_columns[8];
    for (std::size_t k = 0; k < 8; ++k) first_columns[k] = k % per_line;
    __m512i column = _mm512_load_si512(first_columns);
    const __m512i step = _mm512_set1_epi64(static_cast<long long>(8 % per_line));
    const __m512i width = _mm512_set1_epi64(static_cast<long long>(per_line));
    const __m512i last_column = _mm512_set1_epi64(static_cast<long long>(per_line - 1));
    std::size_t first_column = 0;  // lane 0's, for the values written one at a time

    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m512i bits = _mm512_castpd_si512(_mm512_loadu_pd(y + i));
        const __m512i biased =
            _mm512_and_si512(_mm512_srli_epi64(bits, 52), _mm512_set1_epi64(0x7FF));
        // |v| = m * 2^-s: 2^-11 <= |v| < 2^43 is 10 <= s <= 63, the biased exponent 1012 to 1065.
        const __mmask8 in_range = _mm512_cmplt_epu64_mask(
            _mm512_sub_epi64(biased, _mm512_set1_epi64(1012)), _mm512_set1_epi64(54));
        const __m512i s = _mm512_sub_epi64(_mm512_set1_epi64(1075), biased);
        const __m512i m =
            _mm512_or_si512(_mm512_and_si512(bits, _mm512_set1_epi64(0xFFFFFFFFFFFFF)),
                            _mm512_set1_epi64(0x10000000000000));
        // m * 10^6 < 2^73 as high and low words, from the low and high halves of m.
        const __m512i million = _mm512_set1_epi64(1000000);
        const __m512i low_product = _mm512_mul_epu32(m, million);
        const __m512i high_product = _mm512_mul_epu32(_mm512_srli_epi64(m, 32), million);
        const __m512i low = _mm512_add_epi64(low_product, _mm512_slli_epi64(high_product, 32));
        const __m512i high_in = _mm512_srli_epi64(high_product, 32);
        const __m512i high =
            _mm512_mask_add_epi64(high_in, _mm512_cmplt_epu64_mask(low, low_product), high_in, one);
        const __m512i up = _mm512_sub_epi64(_mm512_set1_epi64(64), s);
        __m512i q = _mm512_or_si512(_mm512_sllv_epi64(high, up), _mm512_srlv_epi64(low, s));
        // The discarded bits at the word's top round up above one half, and at one half when q
        // is odd (format_fixed6's round_scaled).
        const __m512i discarded = _mm512_sllv_epi64(low, up);
        q = _mm512_mask_add_epi64(
            q,
            _mm512_cmpgt_epu64_mask(_mm512_add_epi64(discarded, _mm512_and_si512(q, one)),
                                    _mm512_set1_epi64(static_cast<long long>(1ull << 63))),
            q, one);
        const __mmask8 common =
            in_range & _mm512_cmplt_epu64_mask(q, _mm512_set1_epi64(10000000000));
        const __m512i separator =
            _mm512_mask_blend_epi64(_mm512_cmpeq_epi64_mask(column, last_column),
                                    _mm512_set1_epi64(code_space), _mm512_set1_epi64(code_newline));
        column = _mm512_add_epi64(column, step);
        column =
            _mm512_mask_sub_epi64(column, _mm512_cmpge_epu64_mask(column, width), column, width);
        if (common != 0xFF) {
            for (std::size_t k = 0; k < 8; ++k) {
                p = format_fixed6(y[i + k], p);
                *p++ = (first_column + k) % per_line == per_line - 1 ? '\n' : ' ';
            }
            first_column = (first_column + 8) % per_line;
            continue;
        }
        first_column = (first_column + 8) % per_line;

        // q < 10^10: whole = q / 10^6 < 10^4 (q / 64 < 2^28 times ceil(2^45 / 15625), its error
        // below 2^-17 against the 1/15625 that a quotient's fraction stays under 1), the
        // decimals' high pair by ceil(2^45 / 10^4), the pairs of numbers below 10^4 by
        // 5243 / 2^19 (exact below 43699).
        const __m512i whole = _mm512_srli_epi64(
            _mm512_mul_epu32(_mm512_srli_epi64(q, 6), _mm512_set1_epi64(2251799814)), 45);
        const __m512i decimals = _mm512_sub_epi64(q, _mm512_mul_epu32(whole, million));
        const __m512i dec_high =
            _mm512_srli_epi64(_mm512_mul_epu32(decimals, _mm512_set1_epi64(3518437209)), 45);
        const __m512i dec_low =
            _mm512_sub_epi64(decimals, _mm512_mul_epu32(dec_high, _mm512_set1_epi64(10000)));
        const __m512i by_100 = _mm512_set1_epi64(5243), hundred = _mm512_set1_epi64(100);
        const __m512i whole_high = _mm512_srli_epi64(_mm512_mul_epu32(whole, by_100), 19);
        const __m512i whole_low = _mm512_sub_epi64(whole, _mm512_mul_epu32(whole_high, hundred));
        const __m512i dec_mid = _mm512_srli_epi64(_mm512_mul_epu32(dec_low, by_100), 19);
        const __m512i dec_last = _mm512_sub_epi64(dec_low, _mm512_mul_epu32(dec_mid, hundred));
        __m512i codes = _mm512_or_si512(
            _mm512_or_si512(whole_high, _mm512_slli_epi64(whole_low, 8)),
            _mm512_or_si512(_mm512_slli_epi64(dec_high, 16), _mm512_slli_epi64(dec_mid, 24)));
        codes = _mm512_or_si512(
            codes, _mm512_or_si512(_mm512_slli_epi64(dec_last, 32),
                                   _mm512_set1_epi64((std::int64_t{code_minus} << 40) |
                                                     (std::int64_t{code_point} << 48))));
        codes = _mm512_or_si512(codes, _mm512_slli_epi64(separator, 56));
        const __m512i tens = _mm512_permutex2var_epi8(tens_lo, codes, tens_hi);
        const __m512i ones = _mm512_permutex2var_epi8(ones_lo, codes, ones_hi);
        const __m512i text_lo = _mm512_permutex2var_epi8(tens, slot_lo, ones);
        const __m512i text_hi = _mm512_permutex2var_epi8(tens, slot_hi, ones);
        // Each slot's bytes kept: the minus of a negative value, the integer part from its first
        // significant digit (the ones always), the point, the decimals, the separator.
        __m512i keep = _mm512_set1_epi64(0xFF80);
        keep = _mm512_mask_or_epi64(keep, _mm512_cmpge_epu64_mask(whole, _mm512_set1_epi64(10)),
                                    keep, _mm512_set1_epi64(0x40));
        keep = _mm512_mask_or_epi64(keep, _mm512_cmpge_epu64_mask(whole, hundred), keep,
                                    _mm512_set1_epi64(0x20));
        keep = _mm512_mask_or_epi64(keep, _mm512_cmpge_epu64_mask(whole, _mm512_set1_epi64(1000)),
                                    keep, _mm512_set1_epi64(0x10));
        keep =
            _mm512_mask_or_epi64(keep, _mm512_movepi64_mask(bits), keep, _mm512_set1_epi64(0x08));
        const __m128i keep_words = _mm512_cvtepi64_epi16(keep);
        const auto keep_lo = static_cast<std::uint64_t>(_mm_cvtsi128_si64(keep_words));
        const auto keep_hi = static_cast<std::uint64_t>(_mm_extract_epi64(keep_words, 1));
        const auto length_lo = static_cast<unsigned>(_mm_popcnt_u64(keep_lo));
        const auto length_hi = static_cast<unsigned>(_mm_popcnt_u64(keep_hi));
        _mm512_mask_storeu_epi8(p, _bzhi_u64(~std::uint64_t{0}, length_lo),
                                _mm512_maskz_compress_epi8(keep_lo, text_lo));
        p += length_lo;
        _mm512_mask_storeu_epi8(p, _bzhi_u64(~std::uint64_t{0}, length_hi),
                                _mm512_maskz_compress_epi8(keep_hi, text_hi));
        p += length_hi;
    }
    for (; i < count; ++i) {
        p = format_fixed6(y[i], p);
        *p++ = first_column == per_line - 1 ? '\n' : ' ';
        first_column = first_column + 1 == per_line ? 0 : first_column + 1;
    }
    return p;
}

}  // namespace lagstat::output::detail

#include "cpu/avx512_vbmi2_end.hpp"

#endif
