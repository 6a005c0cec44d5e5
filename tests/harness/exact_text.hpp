// Differential checks of number text both ways, shared by the C++ tests (small counts) and
// bench/exact_text.cpp (the full counts): field text of each shape against strtod in the C
// locale, through parse_field, the chunk parser and the line walker with its buffer refilled at
// every possible place, and format_fixed6 (one value, and lines of them) against snprintf's "%f".
// Failures are printed with hexfloats, and the first few kept for the caller.
#pragma once

#include <locale.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "cpu/isa.hpp"
#include "harness/line_walker.hpp"
#include "output/format.hpp"
#include "source/byte_source.hpp"
#include "text/chunk_parser.hpp"
#include "text/number.hpp"

namespace lagstat::harness {

/// The field shapes: what real files hold and the edges around them.
enum class field_shape {
    fixed,        // [-]d{1,8}.d{1,8}: printf "%.Nf", the fast path
    fixed_long,   // [-]d{1,9}.d{1,15}, 11 to 17 digits: the wide scan's limits of 15 digits
    digits,       // [-]1 to 17 digits, the point anywhere or absent
    signs_zeros,  // [+-] leading zeros, then a short decimal
    exponent,     // 1 to 17 digits, e or E, a signed exponent of 1 to 3 digits
    extreme,      // exponents where doubles end: subnormals, underflow, overflow
    long_text,    // 20 to 256 characters of digits, mostly zeros around a few significant
    prefix,       // number characters that only start a number: "1.5e", "1-2", ".", "-"
};

inline constexpr field_shape all_field_shapes[] = {field_shape::fixed,     field_shape::fixed_long,
                                                   field_shape::digits,    field_shape::signs_zeros,
                                                   field_shape::exponent,  field_shape::extreme,
                                                   field_shape::long_text, field_shape::prefix};

inline const char* shape_name(field_shape s) {
    static const char* const names[] = {"fixed",    "fixed_long", "digits",    "signs_zeros",
                                        "exponent", "extreme",    "long_text", "prefix"};
    return names[static_cast<int>(s)];
}

/// Random field text of one shape (never empty, number characters only, at most 256 of them).
class field_maker {
public:
    explicit field_maker(std::uint64_t seed) : rng_(seed) {}

    std::string make(field_shape shape) {
        std::string t;
        switch (shape) {
            case field_shape::fixed:
                if (coin()) t += '-';
                put_digits(t, 1 + below(8), true);
                t += '.';
                put_digits(t, 1 + below(8), false);
                break;
            case field_shape::fixed_long: {
                if (coin()) t += '-';
                const unsigned total = 11 + below(7);
                const unsigned before = 1 + below(9);
                put_digits(t, before, coin());
                t += '.';
                put_digits(t, total - before, false);
                break;
            }
            case field_shape::digits: {
                if (coin()) t += '-';
                const unsigned n = 1 + below(17);
                std::string d;
                put_digits(d, n, below(4) != 0);
                const unsigned point = below(n + 2);  // n + 1: no point
                if (point <= n) d.insert(point, 1, '.');
                t += d;
                break;
            }
            case field_shape::signs_zeros:
                t += "+-"[below(2)];
                t.append(below(6), '0');
                put_digits(t, below(6), false);
                t += '.';
                put_digits(t, 1 + below(7), false);
                break;
            case field_shape::exponent:
                if (coin()) t += '-';
                put_digits(t, 1 + below(17), true);
                if (coin())
                    t.insert(t.size() - below(static_cast<unsigned>(t.size()) / 2 + 1), 1, '.');
                t += "eE"[below(2)];
                if (below(3) != 0) t += "+-"[below(2)];
                put_digits(t, 1 + below(3), false);
                break;
            case field_shape::extreme: {
                if (coin()) t += '-';
                put_digits(t, 1 + below(17), true);
                t += 'e';
                const int e = below(2) != 0 ? 280 + static_cast<int>(below(50))
                                            : -(300 + static_cast<int>(below(45)));
                t += std::to_string(e - static_cast<int>(below(17)));
                break;
            }
            case field_shape::long_text: {
                if (coin()) t += '-';
                const unsigned total = 20 + below(237);
                const unsigned lead = below(total / 2 + 1);
                t.append(lead, '0');
                std::string body;
                put_digits(body, total - lead - 1, true);
                // Mostly zeros, a few significant digits anywhere: long exact halves and ties.
                for (char& c : body)
                    if (below(4) != 0) c = '0';
                const unsigned point = below(static_cast<unsigned>(body.size()) + 1);
                body.insert(point, 1, '.');
                t += body;
                if (t.size() > max_field) t.resize(max_field);
                break;
            }
            case field_shape::prefix: {
                static const char* const heads[] = {"",   "-",  "+",   ".",    "-.", "1.5",
                                                    "12", "-7", "0.0", "+.25", "3."};
                static const char* const tails[] = {"e",    "E+",  "e-", "-",   "+", ".",
                                                    "e+-1", "..5", "-2", "e5e", "",  "E-0"};
                t = heads[below(11)];
                t += tails[below(12)];
                if (t.empty()) t = ".";
                break;
            }
        }
        return t;
    }

    std::mt19937_64& rng() { return rng_; }
    unsigned below(unsigned n) { return static_cast<unsigned>(rng_() % n); }

    static constexpr std::size_t max_field = text::max_field_length;

private:
    bool coin() { return (rng_() & 1) != 0; }
    void put_digits(std::string& t, unsigned n, bool first_nonzero) {
        for (unsigned i = 0; i < n; ++i)
            t += static_cast<char>('0' + (i == 0 && first_nonzero ? 1 + below(9) : below(10)));
    }
    std::mt19937_64 rng_;
};

inline locale_t c_locale_t() {
    static const locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return loc;
}

/// The reference: strtod in the C locale on the field's longest number prefix (atof's value).
inline double strtod_c(const std::string& field) {
    return strtod_l(field.c_str(), nullptr, c_locale_t());
}

inline bool same_bits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

/// Mismatches found, with the first few described.
struct differences {
    std::uint64_t checked = 0;
    std::uint64_t count = 0;
    std::vector<std::string> first;

    void add(const std::string& what) {
        if (++count <= 10) first.push_back(what);
    }
};

inline std::string number_mismatch(const char* route, const std::string& field, double want,
                                   double got) {
    char text[400];
    std::snprintf(text, sizeof text, "%s: \"%s\": strtod %a, lagstat %a", route, field.c_str(),
                  want, got);
    return text;
}

/// fields through parse_field, and as lines of `per_line` fields through parse_chunk (each build
/// of its scan that the processor runs) and through the line walker whose reads return `piece`
/// bytes at most (so that fields are cut at every place as pieces vary between calls).
inline void check_fields(const std::vector<std::string>& fields, std::size_t per_line,
                         std::size_t piece, differences& out) {
    std::vector<double> want(fields.size());
    for (std::size_t i = 0; i < fields.size(); ++i) {
        want[i] = strtod_c(fields[i]);
        const double got = text::parse_field(fields[i].data(), fields[i].data() + fields[i].size());
        if (!same_bits(got, want[i]))
            out.add(number_mismatch("parse_field", fields[i], want[i], got));
    }
    out.checked += fields.size();
    const std::size_t lines = fields.size() / per_line;
    if (lines == 0) return;
    // Separators and line ends of every kind the whole-line kernel takes, in turn.
    static const char* const separators[] = {" ", "\t", ",", ", ", "   ", " \t"};
    std::string text;
    for (std::size_t l = 0; l < lines; ++l) {
        for (std::size_t k = 0; k < per_line; ++k) {
            text += fields[l * per_line + k];
            text += k + 1 < per_line ? separators[(l + k) % 6] : l % 5 == 4 ? "\r\n" : "\n";
        }
    }
    // The chunk parser: the passes' route, the text followed by its sentinel and padding.
    std::string span = text;
    span.append(1 + text::chunk_padding, '\0');
    source::memory_source first_src(text.data(), text.size());
    line_walker first_reader(first_src);
    std::vector<double> first_line;
    if (first_reader.read_record(first_line) != static_cast<int>(per_line)) {
        out.add("the first line was refused");
        return;
    }
    // Through every build of the scan that this processor runs: the kernel choice selects it.
    const cpu::isa active = cpu::active_isa();
    for (const cpu::isa set : cpu::all_isas) {
        if (!cpu::select_isa(set)) continue;
        std::vector<double> chunk(lines * per_line);
        const text::chunk_result c =
            text::parse_chunk(span.data(), span.data() + text.size(), first_reader.layout(),
                              chunk.data(), per_line, lines, true);
        if (c.records != lines) out.add("parse_chunk stopped early");
        for (std::size_t i = 0; i < c.records * per_line; ++i)
            if (!same_bits(chunk[i], want[i]))
                out.add(number_mismatch((std::string("parse_chunk ") + cpu::isa_name(set)).c_str(),
                                        fields[i], want[i], chunk[i]));
    }
    cpu::select_isa(active);
    // The walker over pieces of `piece` bytes.
    source::memory_source src(text.data(), text.size(), piece);
    line_walker walker(src, 1 << 12);
    std::vector<double> record(per_line);
    for (std::size_t l = 0; l < lines; ++l) {
        const bool walked = walker.read_record(record.data(), static_cast<int>(per_line)) ==
                            static_cast<int>(per_line);
        for (std::size_t k = 0; k < per_line; ++k) {
            const std::size_t i = l * per_line + k;
            if (!walked || !same_bits(record[k], want[i]))
                out.add(
                    number_mismatch("line_walker", fields[i], want[i], walked ? record[k] : NAN));
        }
        if (!walked) return;
    }
}

/// The value families "%f" is checked over.
enum class value_family {
    bits,
    six_decimals,
    decimal_neighbours,
    halfway,
    tiny_huge,
    integer_lengths
};

inline constexpr value_family all_value_families[] = {
    value_family::bits,    value_family::six_decimals, value_family::decimal_neighbours,
    value_family::halfway, value_family::tiny_huge,    value_family::integer_lengths};

inline const char* family_name(value_family f) {
    static const char* const names[] = {"bits",    "six_decimals", "decimal_neighbours",
                                        "halfway", "tiny_huge",    "integer_lengths"};
    return names[static_cast<int>(f)];
}

inline double random_value(value_family family, std::mt19937_64& rng) {
    auto from_bits = [](std::uint64_t b) {
        double v;
        std::memcpy(&v, &b, sizeof v);
        return v;
    };
    const double sign = (rng() & 1) != 0 ? -1.0 : 1.0;
    switch (family) {
        case value_family::bits:  // every pattern: NaNs, infinities, subnormals, -0
            return from_bits(rng());
        case value_family::six_decimals: {
            // Binary exponents 2^-30 to 2^60: where rounding to six decimals matters.
            const std::uint64_t e = 1023 - 30 + rng() % 91;
            return from_bits((rng() & 0x800FFFFFFFFFFFFFu) | (e << 52));
        }
        case value_family::decimal_neighbours: {
            const int digits = static_cast<int>(rng() % 16) + 1;
            const std::uint64_t k = rng() % static_cast<std::uint64_t>(std::pow(10.0, digits));
            double v = sign * static_cast<double>(k) / 1e6;
            if (rng() % 3 == 0) v += std::copysign(0.5e-6, v);  // the midpoint
            for (int steps = static_cast<int>(rng() % 5) - 2; steps != 0;
                 steps += steps < 0 ? 1 : -1)
                v = std::nextafter(v, steps < 0 ? -INFINITY : INFINITY);
            return v;
        }
        case value_family::halfway: {
            // Odd multiples of 2^-7 are exactly half-way between two six-decimal values.
            const int bits = static_cast<int>(rng() % 52) + 1;
            const std::uint64_t odd = ((rng() >> (64 - bits)) << 1) | 1;
            return sign * std::ldexp(static_cast<double>(odd), -7);
        }
        case value_family::integer_lengths: {
            // Magnitudes 10^-7 to 10^11, even in the exponent of ten, so that every length of
            // the integer part (and the switch to the long path above 10^4) is met as often,
            // half of them at a carry: just below a power of ten, where rounding adds a digit.
            const double magnitude =
                std::pow(10.0, -7.0 + 18.0 * static_cast<double>(rng() >> 11) * 0x1p-53);
            if (rng() % 2 == 0) return sign * magnitude;
            const double power = std::pow(10.0, std::ceil(std::log10(magnitude)));
            return sign * std::nextafter(power - 0.5e-6, (rng() & 1) != 0 ? 0.0 : INFINITY);
        }
        case value_family::tiny_huge: {
            const std::uint64_t e = (rng() & 1) != 0 ? rng() % 1010 : 1023 + 43 + rng() % 981;
            return from_bits((rng() & 0x800FFFFFFFFFFFFFu) | (e << 52));
        }
    }
    return 0.0;
}

/// format_fixed6 of v against snprintf "%f" in the C locale.
inline void check_format(double v, differences& out) {
    const locale_t previous = uselocale(c_locale_t());
    char want[output::max_fixed6_length + 8];
    const int n = std::snprintf(want, sizeof want, "%f", v);
    uselocale(previous);
    char got[output::max_fixed6_length];
    const char* const end = output::format_fixed6(v, got);
    ++out.checked;
    if (end - got != n || std::memcmp(got, want, static_cast<std::size_t>(n)) != 0) {
        char text[2 * output::max_fixed6_length + 64];
        std::snprintf(text, sizeof text, "%a: snprintf \"%s\", format_fixed6 \"%.*s\"", v, want,
                      static_cast<int>(end - got), got);
        out.add(text);
    }
}

/// format_fixed6_lines over values (per_line to a line, on every build the processor runs)
/// against snprintf "%f" of each value joined as the lines are; the values whose integer part
/// the vector path writes come first, so that most of its groups of eight are not sent back to
/// format_fixed6 by one value outside its case.
inline void check_format_lines(std::vector<double> values, std::size_t per_line, differences& out) {
    std::stable_partition(values.begin(), values.end(),
                          [](double v) { return std::fabs(v) >= 0x1p-11 && std::fabs(v) < 1e4; });
    const locale_t previous = uselocale(c_locale_t());
    std::string want;
    for (std::size_t i = 0; i < values.size(); ++i) {
        char text[output::max_fixed6_length + 8];
        want.append(text,
                    static_cast<std::size_t>(std::snprintf(text, sizeof text, "%f", values[i])));
        want += (i + 1) % per_line == 0 ? '\n' : ' ';
    }
    uselocale(previous);
    const std::size_t room = output::fixed6_lines_room(values.size());
    std::vector<char> got(room + 64);
    const cpu::isa active = cpu::active_isa();
    for (const cpu::isa set : cpu::all_isas) {
        if (!cpu::select_isa(set)) continue;
        std::fill(got.begin(), got.end(), '\x7f');
        const char* const end =
            output::format_fixed6_lines(values.data(), values.size(), per_line, got.data());
        const std::string text(got.data(), static_cast<std::size_t>(end - got.data()));
        if (text != want) {
            std::size_t at = 0;
            while (at < text.size() && at < want.size() && text[at] == want[at]) ++at;
            const std::size_t from = at < 24 ? 0 : at - 24;
            out.add(std::string("format_fixed6_lines ") + cpu::isa_name(set) + ": snprintf \"" +
                    want.substr(from, 48) + "\", lagstat \"" + text.substr(from, 48) + '"');
        }
        for (const char* c = end; c != got.data() + got.size(); ++c)
            if (*c != '\x7f') {
                out.add(std::string("format_fixed6_lines ") + cpu::isa_name(set) +
                        ": a byte written past the end");
                break;
            }
    }
    cpu::select_isa(active);
}

}  // namespace lagstat::harness
