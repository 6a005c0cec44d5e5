// Field conversion checked against the C library's atof in the C locale, bit for bit.
#include <cfloat>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness/exact_text.hpp"
#include "text/number.hpp"

namespace lagstat::text {
namespace {

std::string hex(double v) {
    char text[64];
    std::snprintf(text, sizeof text, "%a", v);
    return text;
}

bool same_bits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

double parse(const std::string& text) {
    return parse_field(text.data(), text.data() + text.size());
}

/// Compares parse_field with atof on every field; returns the number of mismatches and prints
/// the first few.
int count_mismatches(const std::vector<std::string>& fields) {
    int mismatches = 0;
    for (const std::string& field : fields) {
        const double expected = std::atof(field.c_str());
        const double got = parse(field);
        if (!same_bits(got, expected) && ++mismatches <= 10)
            ADD_FAILURE() << "field \"" << field << "\": parse_field " << hex(got) << ", atof "
                          << hex(expected);
    }
    return mismatches;
}

class number_test : public ::testing::Test {
protected:
    void SetUp() override { std::setlocale(LC_ALL, "C"); }
};

// --- Worked cases: the value atof gives, written as a literal, and atof itself. ---

struct field_case {
    const char* text;
    double value;
};

std::ostream& operator<<(std::ostream& os, const field_case& c) {
    return os << '"' << c.text << "\" -> " << hex(c.value);
}

class number_edge : public ::testing::TestWithParam<field_case> {
protected:
    void SetUp() override { std::setlocale(LC_ALL, "C"); }
};

TEST_P(number_edge, matches_the_literal_and_atof) {
    const field_case& c = GetParam();
    const double got = parse(c.text);
    EXPECT_TRUE(same_bits(got, c.value)) << c.text << ": " << hex(got) << " != " << hex(c.value);
    EXPECT_TRUE(same_bits(got, std::atof(c.text))) << c.text << ": atof " << hex(std::atof(c.text));
}

INSTANTIATE_TEST_SUITE_P(
    number_fields, number_edge,
    ::testing::Values(field_case{"-12.345678", -12.345678}, field_case{"0.000001", 0.000001},
                      field_case{"1-2", 1.0}, field_case{"1.5e", 1.5}, field_case{"1.5e+", 1.5},
                      field_case{"1.5e-x", 1.5}, field_case{"2e-", 2.0}, field_case{".", 0.0},
                      field_case{"-", 0.0}, field_case{"e", 0.0}, field_case{"E5", 0.0},
                      field_case{"", 0.0}, field_case{"+2", 2.0}, field_case{"+-1", 0.0},
                      field_case{"--1", 0.0}, field_case{"-.", 0.0}, field_case{".5", 0.5},
                      field_case{"-.5e1", -5.0}, field_case{"5.", 5.0}, field_case{"-0.0", -0.0},
                      field_case{"-0", -0.0}, field_case{"-0e999999999999", -0.0},
                      field_case{"0e-999999999999", 0.0}, field_case{"-1.5e-3", -0.0015},
                      field_case{"1E5", 1e5}, field_case{"12e25", 12e25}, field_case{"1e22", 1e22},
                      field_case{"1e23", 1e23}, field_case{"9007199254740993", 9007199254740993.0},
                      field_case{"1e400", HUGE_VAL}, field_case{"-1e400", -HUGE_VAL},
                      field_case{"1e99999999999999999999", HUGE_VAL}, field_case{"1e-400", 0.0},
                      field_case{"-1e-400", -0.0}, field_case{"1.7976931348623157e308", DBL_MAX},
                      field_case{"1.7976931348623159e308", HUGE_VAL},
                      field_case{"4.9406564584124654e-324", 4.9406564584124654e-324},
                      field_case{"2.4703282292062328e-324", 4.9406564584124654e-324},
                      field_case{"2.4703282292062327e-324", 0.0},
                      field_case{"-2.4703282292062328e-324", -4.9406564584124654e-324},
                      field_case{"2.2250738585072011e-308", 2.2250738585072011e-308},
                      field_case{"0.1e1-5", 1.0}, field_case{"1..2", 1.0}, field_case{"1.2.3", 1.2},
                      field_case{"1e5e5", 1e5}, field_case{"1e+5-", 1e5},
                      field_case{"00000.00000", 0.0},
                      field_case{"123456789012345678901234567890",
                                 123456789012345678901234567890.0}));

// --- Differential tests against atof over generated fields. ---

const char number_alphabet[] = "0123456789.+-eE";

std::string digits(std::mt19937_64& rng, std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += static_cast<char>('0' + rng() % 10);
    return s;
}

TEST_F(number_test, random_alphabet_strings_match_atof) {
    std::mt19937_64 rng(11);
    std::vector<std::string> fields;
    for (int i = 0; i < 200000; ++i) {
        std::string s;
        const std::size_t n = rng() % 12;
        for (std::size_t k = 0; k < n; ++k)
            s += number_alphabet[rng() % (sizeof number_alphabet - 1)];
        fields.push_back(s);
    }
    EXPECT_EQ(count_mismatches(fields), 0);
}

TEST_F(number_test, structured_numbers_match_atof) {
    // [sign] digits [. digits] [e [sign] digits] with every part's length varied, including
    // long mantissas, leading and trailing zeros and exponents near the ends of the range.
    std::mt19937_64 rng(12);
    const char* signs[] = {"", "", "-", "+"};
    std::vector<std::string> fields;
    for (int i = 0; i < 200000; ++i) {
        std::string s = signs[rng() % 4];
        if (rng() % 4 == 0) s += std::string(rng() % 30, '0');
        const std::size_t int_len = rng() % 5 == 0 ? rng() % 40 : rng() % 6;
        s += digits(rng, int_len);
        if (rng() % 3 != 0) {
            s += '.';
            if (rng() % 4 == 0) s += std::string(rng() % 40, '0');
            s += digits(rng, rng() % 5 == 0 ? rng() % 60 : rng() % 9);
        }
        if (rng() % 3 == 0) {
            s += rng() % 2 ? 'e' : 'E';
            s += signs[rng() % 4];
            const int exps[] = {0, 5, 22, 23, 37, 290, 300, 307, 308, 309, 320, 323, 324, 325, 340};
            const int exponent = exps[rng() % 15] + static_cast<int>(rng() % 7) - 3;
            s += std::to_string(exponent < 0 ? 0 : exponent);
        }
        if (s.size() > max_field_length) s.resize(max_field_length);
        fields.push_back(s);
    }
    EXPECT_EQ(count_mismatches(fields), 0);
}

TEST_F(number_test, printf_outputs_match_atof) {
    // What files hold: "%f", "%.17g", "%e" renderings of doubles of every magnitude.
    std::mt19937_64 rng(13);
    std::vector<std::string> fields;
    char text[400];
    const char* formats[] = {"%f", "%.6f", "%.17g", "%.16e", "%.3e", "%.20f", "%g", "%.25g"};
    for (int i = 0; i < 100000; ++i) {
        double v;
        if (i % 2 == 0) {
            std::uint64_t bits = rng();
            std::memcpy(&v, &bits, sizeof v);
            if (!std::isfinite(v)) continue;
        } else {
            v = std::ldexp(static_cast<double>(rng() >> 11), static_cast<int>(rng() % 200) - 150);
        }
        std::snprintf(text, sizeof text, formats[rng() % 8], v);
        if (std::strlen(text) <= max_field_length) fields.push_back(text);
    }
    EXPECT_EQ(count_mismatches(fields), 0);
}

TEST_F(number_test, halfway_cases_match_atof) {
    // The exact decimal midpoint between two neighbouring doubles (held exactly by a long double)
    // and the midpoint nudged by one unit of its last digit either way: correct rounding must
    // break the tie to even and must not be fooled by a nudge.
    std::mt19937_64 rng(14);
    std::vector<std::string> fields;
    char text[400];
    for (int i = 0; i < 20000; ++i) {
        const double a = std::ldexp(static_cast<double>((rng() >> 11) | (std::uint64_t{1} << 52)),
                                    static_cast<int>(rng() % 120) - 112);
        const long double mid =
            (static_cast<long double>(a) + static_cast<long double>(std::nextafter(a, HUGE_VAL))) /
            2;
        std::snprintf(text, sizeof text, "%.120Lf", mid);
        std::string s = text;
        while (s.back() == '0') s.pop_back();
        if (s.size() > max_field_length) continue;
        fields.push_back(s);
        for (int nudge : {-1, 1}) {
            std::string t = s;
            std::size_t k = t.size() - 1;  // last digit is non-zero: a nudge never borrows far
            t[k] = static_cast<char>(t[k] + nudge);
            if (t[k] < '0' || t[k] > '9') continue;
            fields.push_back(t);
        }
    }
    EXPECT_EQ(count_mismatches(fields), 0);
}

TEST_F(number_test, subnormal_and_overflow_boundaries_match_atof) {
    std::vector<std::string> fields;
    char text[1000];
    for (double v : {DBL_MIN, DBL_TRUE_MIN, DBL_MAX, 3 * DBL_TRUE_MIN, DBL_MIN - DBL_TRUE_MIN}) {
        for (double w : {v, std::nextafter(v, 0.0), std::nextafter(v, HUGE_VAL), v / 2, v * 1.5}) {
            if (!std::isfinite(w)) continue;
            for (const char* format : {"%.17g", "%.25e", "%.40e", "%.760g"}) {
                std::snprintf(text, sizeof text, format, w);
                std::string s = text;
                if (s.size() > max_field_length) s.resize(max_field_length);
                fields.push_back(s);
                fields.push_back("-" + s);
            }
        }
    }
    EXPECT_EQ(count_mismatches(fields), 0);
}

TEST_F(number_test, fields_longer_than_any_field_still_match_atof) {
    // The reader never passes more than 256 characters, but the conversion does not depend on it.
    const std::string zeros(900, '0');
    const std::vector<std::string> fields = {
        "0." + zeros + "1e-10",    "-0." + zeros + "1",
        "1" + zeros + "e-600",     "1" + zeros,
        "-" + zeros + "1e400",     "0." + zeros + "1e1200",
        "9" + zeros + "e-1209",    "1" + zeros + "1e-1210",
        "." + zeros + "25e-318",   zeros + "." + zeros + "-2",
        "1" + zeros + "." + zeros, "4" + std::string(700, '9') + "e-1024"};
    EXPECT_EQ(count_mismatches(fields), 0);
}

TEST_F(number_test, reads_only_its_range) {
    // The text after last must not take part: "12" of "123" is 12, an exponent cut off is no
    // exponent, and a range cut inside a long mantissa is that shorter mantissa.
    const std::string text = "123e5";
    EXPECT_EQ(parse_field(text.data(), text.data() + 2), 12.0);
    EXPECT_EQ(parse_field(text.data(), text.data() + 4), 123.0);
    const std::string long_text = "1.00000000000000000000000000000000000001e-999";
    const std::string prefix = long_text.substr(0, 40);
    EXPECT_TRUE(
        same_bits(parse_field(long_text.data(), long_text.data() + 40), std::atof(prefix.c_str())));
}

// --- Each field shape against strtod: parse_field, the chunk parser, and the line walker with
// reads of 1 to 40 bytes (bench/exact_text.cpp runs the same checks over 10^8 fields a shape). ---

class shape_test : public ::testing::TestWithParam<harness::field_shape> {};

TEST_P(shape_test, every_route_gives_strtods_bits) {
    harness::field_maker maker(1000 + static_cast<int>(GetParam()));
    harness::differences found;
    for (std::size_t piece = 1; piece <= 40; ++piece) {
        std::vector<std::string> fields;
        for (int i = 0; i < 600; ++i) fields.push_back(maker.make(GetParam()));
        harness::check_fields(fields, 1 + piece % 7, piece, found);
    }
    EXPECT_EQ(found.count, 0u);
    for (const std::string& what : found.first) ADD_FAILURE() << what;
}

// The edges of the 16-byte kernels (the field and the byte after it in 16 bytes, 8 digits a side
// for the scalar one, 15 digits for the vector one) as whole lines and between other fields.
TEST(field_kernel_edges, every_route_gives_strtods_bits) {
    const std::vector<std::string> edges = {"12345678.12345678",
                                            "-1234567.1234567",
                                            "-1.2345678901234",
                                            "123456789012345",
                                            "-12345678901234",
                                            "1234567890123456",
                                            "0.00000000000001",
                                            "-.12345678901234",
                                            "99999999.999999",
                                            "+9.99999999999999",
                                            "-0.000000",
                                            "7.",
                                            "-.5",
                                            "+0",
                                            "000000000000001",
                                            "1.0000000000000e5"};
    harness::differences found;
    for (const std::size_t per_line : {1u, 3u, 4u})
        for (const std::size_t piece : {1u, 7u, 16u}) {
            std::vector<std::string> fields;
            for (std::size_t k = 0; k < per_line; ++k)
                fields.insert(fields.end(), edges.begin() + static_cast<long>(k),
                              edges.end());  // each edge at a different place in its line
            harness::check_fields(fields, per_line, piece, found);
        }
    EXPECT_EQ(found.count, 0u);
    for (const std::string& what : found.first) ADD_FAILURE() << what;
}

INSTANTIATE_TEST_SUITE_P(field_shapes, shape_test, ::testing::ValuesIn(harness::all_field_shapes),
                         [](const auto& info) {
                             return std::string(harness::shape_name(info.param));
                         });

}  // namespace
}  // namespace lagstat::text
