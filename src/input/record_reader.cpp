// The record reader.
//
// A line is read by a two-state machine, BETWEEN fields and IN_FIELD:
// - BETWEEN: whitespace is skipped; a comma ends an empty field (value 0); a number character
//   starts a field; '\n' or the end of the input ends the line; any other byte is an error.
// - IN_FIELD: number characters are the field's text (at most 256 of them); whitespace or a
//   comma ends the field and is consumed (so "1 ,2" is 1, 0, 2 but "1,2" is 1, 2); '\n' or the
//   end of the input ends the field and the line; any other byte is an error.
// The line's count is the number of fields ended. A line without fields (empty or blank) counts
// 0, which is the end of the data.
//
// The bytes come through a large buffer of the reader's own, with a sentinel byte (NUL, which is
// never a number character nor whitespace) after the valid data so that the scan loops need no
// bounds check: a scan that stops at the sentinel's address has run out of data. Fields lying
// wholly in the buffer are converted in place; a field cut by the buffer's end is gathered in a
// small local buffer over as many refills as it takes.
#include "input/record_reader.hpp"

#include <array>
#include <climits>
#include <cstdint>
#include <cstring>

#include <emmintrin.h>  // SSE2, part of the x86-64 baseline

#include "input/number.hpp"

namespace lagstat::input {
namespace detail {
namespace {

enum char_class : unsigned char {
    number_char,  // 0-9 . + - e E
    space_char,   // ' ' \t \v \f \r (the C locale's whitespace but '\n')
    comma_char,
    newline_char,
    other_char,
};

constexpr std::array<unsigned char, 256> make_char_classes() {
    std::array<unsigned char, 256> classes{};
    for (auto& c : classes) c = other_char;
    for (int c = '0'; c <= '9'; ++c) classes[c] = number_char;
    for (unsigned char c : {'.', '+', '-', 'e', 'E'}) classes[c] = number_char;
    for (unsigned char c : {' ', '\t', '\v', '\f', '\r'}) classes[c] = space_char;
    classes[','] = comma_char;
    classes['\n'] = newline_char;
    return classes;
}

constexpr std::array<unsigned char, 256> char_classes = make_char_classes();
static_assert(char_classes[0] == other_char, "the sentinel must stop every scan loop");

inline unsigned char class_of(const char* p) noexcept {
    return char_classes[static_cast<unsigned char>(*p)];
}

// Bytes readable after the sentinel, so that the wide loads below never leave the buffer.
constexpr std::size_t buffer_padding = 32;

inline std::uint64_t load_word(const char* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return w;  // little-endian: p[0] is the low byte
}

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

constexpr std::uint64_t powers_of_ten[] = {1,      10,      100,      1000,     10000,
                                           100000, 1000000, 10000000, 100000000};
// Exact powers of ten, positive then negative: dividing by -10^k negates the correctly rounded
// quotient (rounding to nearest is symmetric) and turns 0 into -0, as "-0.0" reads, without a
// branch on the sign, which real data make unpredictable.
constexpr double signed_powers_of_ten[2][9] = {
    {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8},
    {-1e0, -1e1, -1e2, -1e3, -1e4, -1e5, -1e6, -1e7, -1e8}};

// Converts the common field shapes [+-]digits and [+-]digits.digits (at most 8 digits on each
// side of the point, the field and the byte after it within 16 bytes), followed by a byte that
// is not a number character. On success sets *value (correctly rounded: an exact integer below
// 10^14 divided by an exact power of ten) and *last (the byte after the field) and returns true;
// otherwise the caller takes the general path.
//
// It looks at the 16 bytes from p on at once, so that finding the field's end, which the next
// field waits for, costs one load and a few bit operations. Bytes after the first byte that is
// neither a digit nor the field's point are never interpreted; the buffer's sentinel is such a
// byte, so a field cut by the buffer's end comes back with *last at the sentinel.
inline bool convert_plain_field(const char* p, const char** last, double* value) noexcept {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i at_least_0 = _mm_cmpgt_epi8(bytes, _mm_set1_epi8('0' - 1));
    const __m128i at_most_9 = _mm_cmplt_epi8(bytes, _mm_set1_epi8('9' + 1));
    const unsigned digits =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(at_least_0, at_most_9)));
    const unsigned points =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('.'))));
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
    if (field_end >= 16 || int_digits > 8 || frac_digits > 8 || int_digits + frac_digits == 0)
        return false;
    const char* const q = p + field_end;
    if (class_of(q) == number_char) return false;  // an exponent, or more text: "1e5", "1-2"
    const std::uint64_t mantissa =
        digits_value(load_word(p + sign), int_digits) * powers_of_ten[frac_digits] +
        digits_value(load_word(p + int_end + 1), frac_digits);
    // mantissa < 10^14: exact as a signed integer and as a double.
    *value = static_cast<double>(static_cast<std::int64_t>(mantissa)) /
             signed_powers_of_ten[negative][frac_digits];
    *last = q;
    return true;
}

}  // namespace
}  // namespace detail

record_reader::record_reader(byte_source& src, std::size_t buffer_size)
    : src_(src), capacity_(buffer_size == 0 ? 1 : buffer_size) {
    buffer_.reset(new char[capacity_ + 1 + detail::buffer_padding]());
    pos_ = end_ = buffer_.get();
}

bool record_reader::refill() {
    const long n = src_.read(buffer_.get(), capacity_);
    if (n <= 0) {
        if (n < 0) {
            failed_ = true;
        } else {
            at_end_ = true;
        }
        pos_ = end_ = buffer_.get();
        buffer_[0] = '\0';
        return false;
    }
    pos_ = buffer_.get();
    end_ = pos_ + n;
    buffer_[static_cast<std::size_t>(n)] = '\0';
    return true;
}

template <record_reader::mode M>
int record_reader::scan_line(double* out, int capacity, std::vector<double>* values) {
    using detail::class_of;
    if (failed_) return -1;
    if (at_end_) return 0;
    ++line_number_;

    int count = 0;
    // Adds a field's value to the record; false if the record cannot take it.
    auto end_field = [&](double value) -> bool {
        if constexpr (M == mode::filling) {
            if (count == capacity) return false;
            out[count] = value;
        } else {
            if (count == INT_MAX) return false;
            if constexpr (M == mode::keeping) values->push_back(value);
        }
        ++count;
        return true;
    };

    const char* p = pos_;
    const char* end = end_;
    for (;;) {
        // BETWEEN fields.
        unsigned char cls;
        while ((cls = class_of(p)) == detail::space_char) ++p;
        if (cls != detail::number_char) {
            if (p == end) {  // the sentinel: out of data
                if (!refill()) return failed_ ? -1 : count;
                p = pos_;
                end = end_;
                continue;
            }
            ++p;
            if (cls == detail::newline_char) {
                pos_ = p;
                return count;
            }
            if (cls == detail::comma_char) {
                if (!end_field(0.0)) return -1;
                continue;
            }
            return -1;
        }

        // IN_FIELD: p is the field's first character.
        const char* q;
        double value;
        if (!detail::convert_plain_field(p, &q, &value) || q == end) {
            q = p + 1;
            while (class_of(q) == detail::number_char) ++q;
            if (q != end) {
                if (static_cast<std::size_t>(q - p) > max_field_length) return -1;
                value = parse_field(p, q);
            } else {
                // The field runs to the end of the buffer: gather it across refills.
                char field[max_field_length + 1];
                std::size_t length = static_cast<std::size_t>(q - p);
                if (length > max_field_length) return -1;
                std::memcpy(field, p, length);
                for (;;) {
                    if (!refill()) {
                        if (failed_) return -1;
                        // The end of the input ends the field and the line.
                        return end_field(parse_field(field, field + length)) ? count : -1;
                    }
                    p = pos_;
                    end = end_;
                    q = p;
                    while (class_of(q) == detail::number_char) ++q;
                    const std::size_t more = static_cast<std::size_t>(q - p);
                    if (more > max_field_length - length) return -1;
                    std::memcpy(field + length, p, more);
                    length += more;
                    if (q != end) break;
                }
                value = parse_field(field, field + length);
            }
        }
        if (!end_field(value)) return -1;

        // The byte that ended the field (q != end, so it is real data).
        cls = class_of(q);
        p = q + 1;
        if (cls == detail::space_char || cls == detail::comma_char) continue;
        if (cls == detail::newline_char) {
            pos_ = p;
            return count;
        }
        return -1;
    }
}

int record_reader::read_record(double* out, int capacity) {
    if (capacity <= 0) return scan_line<mode::counting>(nullptr, 0, nullptr);
    return scan_line<mode::filling>(out, capacity, nullptr);
}

int record_reader::read_record(std::vector<double>& values) {
    values.clear();
    const int n = scan_line<mode::keeping>(nullptr, 0, &values);
    if (n <= 0) values.clear();
    return n;
}

}  // namespace lagstat::input
