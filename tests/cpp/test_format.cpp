// format_fixed6 against the C library's own "%f" in the C locale, digit for digit.

#include <gtest/gtest.h>

#include <locale.h>
#include <cfloat>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "harness/exact_text.hpp"
#include "output/format.hpp"

namespace {

using lagstat::output::format_fixed6;
using lagstat::output::max_fixed6_length;

/// snprintf "%f" under the C locale, whatever the process locale is.
std::string printf_fixed6(double v) {
    static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", locale_t{});
    const locale_t previous = uselocale(c_locale);
    char text[max_fixed6_length + 8];
    const int len = std::snprintf(text, sizeof text, "%f", v);
    uselocale(previous);
    return std::string(text, static_cast<std::size_t>(len));
}

constexpr char sentinel = '\x7f';

/// format_fixed6's text; fails the test if it wrote past the returned end.
std::string formatted(double v) {
    std::vector<char> buf(max_fixed6_length + 16, sentinel);
    char* const end = format_fixed6(v, buf.data());
    const auto len = static_cast<std::size_t>(end - buf.data());
    EXPECT_LE(len, max_fixed6_length);
    for (std::size_t i = len; i < buf.size(); ++i) {
        if (buf[i] != sentinel) {
            ADD_FAILURE() << "byte " << i << " written past the end for " << std::hexfloat << v;
            break;
        }
    }
    return std::string(buf.data(), len);
}

double from_bits(std::uint64_t bits) {
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

/// Counts mismatches over values, reporting the first few.
int check_all(const std::vector<double>& values) {
    int mismatches = 0;
    for (double v : values) {
        const std::string want = printf_fixed6(v);
        const std::string got = formatted(v);
        if (got != want && ++mismatches <= 5) {
            ADD_FAILURE() << std::hexfloat << v << ": got \"" << got << "\", printf gives \""
                          << want << "\"";
        }
    }
    return mismatches;
}

// ---- single values that sit on edges ---------------------------------------------------

struct named_value {
    const char* name;
    double value;
};

class format_edge : public ::testing::TestWithParam<named_value> {};

TEST_P(format_edge, matches_printf) {
    const double v = GetParam().value;
    EXPECT_EQ(formatted(v), printf_fixed6(v)) << std::hexfloat << v;
    EXPECT_EQ(formatted(-v), printf_fixed6(-v)) << std::hexfloat << -v;
}

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    values, format_edge,
    ::testing::Values(named_value{"zero", 0.0}, named_value{"one", 1.0}, named_value{"inf", inf},
                      named_value{"nan", nan}, named_value{"one_128th", 1.0 / 128},
                      named_value{"three_128ths", 3.0 / 128}, named_value{"five_128ths", 5.0 / 128},
                      named_value{"half_micro", 0.5e-6},
                      named_value{"half_micro_decimal", 0.0000005},
                      named_value{"two_and_half_micro", 2.5e-6},
                      named_value{"just_below_half_micro", std::nextafter(0.5e-6, 0.0)},
                      named_value{"just_above_half_micro", std::nextafter(0.5e-6, 1.0)},
                      named_value{"carry_into_integer", 0.9999995},
                      named_value{"carry_many", 999999.9999995}, named_value{"dbl_max", DBL_MAX},
                      named_value{"dbl_min", DBL_MIN}, named_value{"true_min", DBL_TRUE_MIN},
                      named_value{"below_2p43", std::ldexp(1.0, 43) - 0.5},
                      named_value{"at_2p43", std::ldexp(1.0, 43)},
                      named_value{"above_2p43", std::nextafter(std::ldexp(1.0, 43), inf)},
                      named_value{"odd_128th_at_2p43", std::ldexp(1.0, 43) - 1.0 / 128},
                      named_value{"two_p53_plus", std::ldexp(1.0, 53) + 2.0},
                      named_value{"e22", 1e22}, named_value{"e23", 1e23},
                      named_value{"typical", 123.456789}, named_value{"one_third", 1.0 / 3},
                      // The last binade whose rounding takes 64-bit words, and the first below it.
                      named_value{"two_m11", std::ldexp(1.0, -11)},
                      named_value{"below_two_m11", std::nextafter(std::ldexp(1.0, -11), 0.0)},
                      named_value{"two_m11_odd", std::ldexp(3.0, -12) + std::ldexp(1.0, -63)},
                      named_value{"ten_digits", 9876543210.123456},
                      named_value{"powers_of_ten", 1e9}, named_value{"below_power", 99999.9999996},
                      // Where the integer part's length changes, some by a carry from the
                      // decimals, and the last value below 10^4 written by the short path.
                      named_value{"carry_to_two_digits", 9.9999995},
                      named_value{"carry_to_three_digits", 99.9999995},
                      named_value{"hundred", 100.0}, named_value{"below_ten_thousand", 9999.999999},
                      named_value{"carry_to_five_digits", 9999.9999995},
                      named_value{"ten_thousand", 1e4}, named_value{"one_micro", 1e-6},
                      named_value{"odd_halfway_above_hundred", 100.0 + 1.0 / 128}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- random families ----------------------------------------------------------------------

TEST(format_random, bit_patterns_over_all_exponents) {
    std::mt19937_64 rng(20240601);
    std::vector<double> values;
    for (int i = 0; i < 100000; ++i) values.push_back(from_bits(rng()));
    EXPECT_EQ(check_all(values), 0);
}

TEST(format_random, bit_patterns_around_the_six_decimals) {
    // Binary exponents from 2^-30 to 2^60: the range where rounding to six decimals matters and
    // the switch between the integer path and the general one lies.
    std::mt19937_64 rng(7);
    std::uniform_int_distribution<int> exponent(1023 - 30, 1023 + 60);
    std::vector<double> values;
    for (int i = 0; i < 200000; ++i) {
        const std::uint64_t fraction = rng() & ((std::uint64_t{1} << 52) - 1);
        const std::uint64_t sign = (rng() & 1) << 63;
        values.push_back(from_bits(sign | (std::uint64_t(exponent(rng)) << 52) | fraction));
    }
    EXPECT_EQ(check_all(values), 0);
}

TEST(format_random, decimal_values_and_their_neighbours) {
    // k / 10^6 and the doubles a few ulps either side: the values "%f" output reads back as.
    std::mt19937_64 rng(11);
    std::vector<double> values;
    for (int i = 0; i < 50000; ++i) {
        const int digits = static_cast<int>(rng() % 16) + 1;
        const std::uint64_t k = rng() % static_cast<std::uint64_t>(std::pow(10.0, digits));
        const double v = ((rng() & 1) != 0 ? -1.0 : 1.0) * static_cast<double>(k) / 1e6;
        double down = v;
        double up = v;
        values.push_back(v);
        for (int step = 0; step < 2; ++step) {
            down = std::nextafter(down, -inf);
            up = std::nextafter(up, inf);
            values.push_back(down);
            values.push_back(up);
        }
        // The midpoint between k/10^6 and its successor, and its neighbours.
        const double mid = v + std::copysign(0.5e-6, v);
        values.push_back(mid);
        values.push_back(std::nextafter(mid, -inf));
        values.push_back(std::nextafter(mid, inf));
    }
    EXPECT_EQ(check_all(values), 0);
}

TEST(format_random, exact_halfway_cases) {
    // A double lies exactly half-way between two six-decimal values iff it is an odd multiple
    // of 1/128; both round-to-even directions occur.
    std::mt19937_64 rng(13);
    std::vector<double> values;
    for (int i = 0; i < 50000; ++i) {
        const int bits = static_cast<int>(rng() % 52) + 1;
        const std::uint64_t odd = ((rng() >> (64 - bits)) << 1) | 1;  // < 2^53
        values.push_back(std::ldexp(static_cast<double>(odd), -7) * ((rng() & 1) != 0 ? -1 : 1));
    }
    EXPECT_EQ(check_all(values), 0);
}

TEST(format_random, sign_of_values_rounding_to_zero) {
    std::vector<double> values;
    for (double v = 1e-300; v < 1e-6; v *= 3.7) {
        values.push_back(v);
        values.push_back(-v);
    }
    values.push_back(-0.0);
    values.push_back(std::copysign(nan, -1.0));
    values.push_back(-inf);
    EXPECT_EQ(check_all(values), 0);
}

// ---- the families of bench/exact_text.cpp, at a small count --------------------------------

class family_test : public ::testing::TestWithParam<lagstat::harness::value_family> {};

TEST_P(family_test, matches_snprintf) {
    std::mt19937_64 rng(500 + static_cast<int>(GetParam()));
    lagstat::harness::differences found;
    std::vector<double> batch;
    for (int i = 0; i < 100000; ++i) {
        batch.push_back(lagstat::harness::random_value(GetParam(), rng));
        lagstat::harness::check_format(batch.back(), found);
        if (batch.size() == 4096 || i + 1 == 100000) {
            lagstat::harness::check_format_lines(batch, 1 + i % 13, found);
            batch.clear();
        }
    }
    EXPECT_EQ(found.count, 0u);
    for (const std::string& what : found.first) ADD_FAILURE() << what;
}

INSTANTIATE_TEST_SUITE_P(value_families, family_test,
                         ::testing::ValuesIn(lagstat::harness::all_value_families),
                         [](const auto& info) {
                             return std::string(lagstat::harness::family_name(info.param));
                         });

// ---- locale -------------------------------------------------------------------------------

TEST(format_locale, comma_decimal_locale_still_writes_a_point) {
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    const char* const candidates[] = {"de_DE.UTF-8", "de_DE.utf8",  "de_DE",       "fr_FR.UTF-8",
                                      "fr_FR.utf8",  "nl_NL.UTF-8", "ru_RU.UTF-8", "it_IT.UTF-8"};
    const char* chosen = nullptr;
    for (const char* name : candidates) {
        if (std::setlocale(LC_ALL, name) == nullptr) continue;
        char probe[32];
        std::snprintf(probe, sizeof probe, "%f", 1.5);
        if (std::strchr(probe, ',') != nullptr) {
            chosen = name;
            break;
        }
    }
    if (chosen == nullptr) {
        std::setlocale(LC_ALL, saved.c_str());
        GTEST_SKIP() << "no locale with a decimal comma can be set here";
    }
    std::vector<double> values = {1.5, -2.25, 0.0, 1234567.125, 1e20, -1e-7, 1.0 / 3};
    std::vector<std::string> got;
    for (double v : values) got.push_back(formatted(v));
    std::setlocale(LC_ALL, saved.c_str());
    for (std::size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(got[i], printf_fixed6(values[i])) << "under " << chosen;
        EXPECT_EQ(got[i].find(','), std::string::npos) << "under " << chosen;
    }
}

}  // namespace
