// The weighted pair sums against a literal loop: pair after pair, each weighted product rounded
// as (w x_i) x_j, blocks of pairs by pair index folded with Knuth's two-sum, for every thread
// count, every way of handing the pairs over and sizes around the block and panel boundaries.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <stdexcept>
#include <vector>

#include "passes/thread_team.hpp"
#include "passes/weighted_pair_scan.hpp"
#include "stats/weighted_moments.hpp"

namespace lagstat::passes {
namespace {

struct literal_sums {
    double w = 0.0;
    std::vector<double> sx, sy, sxx, syy, sxy;
};

// The definition, written out with no kernel: shift by the first pair's earlier frame, a block's
// sums from zero in pair order, two-sum into (hi, lo), hi + lo at the end.
literal_sums literal(const std::vector<double>& x, const std::vector<double>& y,
                     const std::vector<double>& w, std::size_t n) {
    const std::size_t pairs = w.size(), nn = n * n, len = 1 + 2 * n + 3 * nn;
    std::vector<double> hi(len, 0.0), lo(len, 0.0), block(len), xs(n), ys(n), wx(n), wy(n);
    for (std::size_t b0 = 0; b0 < pairs; b0 += stats::weighted_block_pairs) {
        std::fill(block.begin(), block.end(), 0.0);
        double* bw = &block[0];
        double* bsx = &block[1];
        double* bsy = bsx + n;
        double* bxx = bsy + n;
        double* byy = bxx + nn;
        double* bxy = byy + nn;
        for (std::size_t k = b0; k < std::min(pairs, b0 + stats::weighted_block_pairs); ++k) {
            for (std::size_t i = 0; i < n; ++i) {
                xs[i] = x[k * n + i] - x[i];
                ys[i] = y[k * n + i] - x[i];
                wx[i] = w[k] * xs[i];
                wy[i] = w[k] * ys[i];
            }
            *bw = *bw + w[k];
            for (std::size_t i = 0; i < n; ++i) {
                bsx[i] = bsx[i] + wx[i];
                bsy[i] = bsy[i] + wy[i];
                for (std::size_t j = 0; j < n; ++j) {
                    if (j >= i) {
                        bxx[i * n + j] = bxx[i * n + j] + wx[i] * xs[j];
                        byy[i * n + j] = byy[i * n + j] + wy[i] * ys[j];
                    }
                    bxy[i * n + j] = bxy[i * n + j] + wx[i] * ys[j];
                }
            }
        }
        for (std::size_t e = 0; e < len; ++e) {
            const double s = hi[e] + block[e];
            const double bb = s - hi[e];
            lo[e] = lo[e] + ((hi[e] - (s - bb)) + (block[e] - bb));
            hi[e] = s;
        }
    }
    literal_sums out;
    std::vector<double> t(len);
    for (std::size_t e = 0; e < len; ++e) t[e] = hi[e] + lo[e];
    out.w = t[0];
    out.sx.assign(t.begin() + 1, t.begin() + 1 + n);
    out.sy.assign(t.begin() + 1 + n, t.begin() + 1 + 2 * n);
    out.sxx.assign(t.begin() + 1 + 2 * n, t.begin() + 1 + 2 * n + nn);
    out.syy.assign(t.begin() + 1 + 2 * n + nn, t.begin() + 1 + 2 * n + 2 * nn);
    out.sxy.assign(t.begin() + 1 + 2 * n + 2 * nn, t.end());
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            out.sxx[i * n + j] = out.sxx[j * n + i];
            out.syy[i * n + j] = out.syy[j * n + i];
        }
    }
    return out;
}

struct weighted_case {
    const char* name;
    std::size_t columns;
    std::size_t pairs;
    std::size_t chunk;  // pairs per add()
    std::size_t threads;
    bool peek;  // totals looked at after every add
};

std::ostream& operator<<(std::ostream& os, const weighted_case& c) {
    return os << c.name;
}

class weighted_vs_literal : public ::testing::TestWithParam<weighted_case> {};

// Values of very different scales about an offset, so that the order of additions shows in
// the bits; weights with exact zeros among them.
void make_pairs(const weighted_case& c, std::vector<double>& x, std::vector<double>& y,
                std::vector<double>& w) {
    std::mt19937_64 rng(c.columns * 1000003 + c.pairs);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    const std::size_t n = c.columns;
    x.resize(c.pairs * n);
    y.resize(c.pairs * n);
    w.resize(c.pairs);
    for (std::size_t k = 0; k < c.pairs; ++k) {
        for (std::size_t i = 0; i < n; ++i) {
            const double scale = std::ldexp(1.0, static_cast<int>(i % 7) * 6 - 18);
            x[k * n + i] = 3.0 + scale * u(rng);
            y[k * n + i] = 3.0 + scale * u(rng);
        }
        // zeros, and a few negative ones (estimated weights may dip below zero)
        w[k] = k % 11 == 5 ? 0.0 : k % 13 == 7 ? -0.25 * u(rng) * u(rng) : 1.0 + u(rng);
    }
}

TEST_P(weighted_vs_literal, same_bits) {
    const weighted_case& c = GetParam();
    std::vector<double> x, y, w;
    make_pairs(c, x, y, w);
    const literal_sums want = literal(x, y, w, c.columns);
    thread_team team(c.threads);
    weighted_pair_scan scan(c.columns, {}, c.threads);
    const std::size_t n = c.columns;
    for (std::size_t at = 0; at < c.pairs; at += c.chunk) {
        const std::size_t m = std::min(c.chunk, c.pairs - at);
        scan.add({x.data() + at * n, n, 1}, {y.data() + at * n, n, 1}, w.data() + at, 1, m,
                 c.threads > 1 ? &team : nullptr);
        if (c.peek) scan.totals(&team);
    }
    const stats::weighted_sums& got = scan.totals(c.threads > 1 ? &team : nullptr);
    EXPECT_EQ(got.pairs, c.pairs);
    EXPECT_EQ(got.w, want.w);
    EXPECT_EQ(got.sx, want.sx);
    EXPECT_EQ(got.sy, want.sy);
    EXPECT_EQ(got.sxx, want.sxx);
    EXPECT_EQ(got.syy, want.syy);
    EXPECT_EQ(got.sxy, want.sxy);
}

INSTANTIATE_TEST_SUITE_P(
    table, weighted_vs_literal,
    ::testing::Values(weighted_case{"one_pair", 3, 1, 1, 1, false},
                      weighted_case{"one_column", 1, 2100, 333, 2, false},
                      weighted_case{"block_less_one", 5, 1023, 1023, 3, false},
                      weighted_case{"one_block", 7, 1024, 1024, 4, false},
                      weighted_case{"block_and_one_pair_by_pair", 4, 1025, 1, 2, false},
                      weighted_case{"blocks_split_oddly_peeking", 10, 3000, 517, 5, true},
                      weighted_case{"narrow_many_threads", 9, 2500, 2500, 8, false},
                      weighted_case{"wider_than_a_tile", 37, 1500, 700, 6, true},
                      weighted_case{"wide_row_bands", 130, 1100, 1100, 7, false},
                      weighted_case{"wide_one_thread", 130, 1100, 300, 1, false}),
    [](const ::testing::TestParamInfo<weighted_case>& info) { return info.param.name; });

struct bad_weight_case {
    const char* name;
    double weight;
};

class weighted_refuses : public ::testing::TestWithParam<bad_weight_case> {};

TEST_P(weighted_refuses, bad_weight_adds_nothing) {
    const double x[6] = {1, 2, 3, 4, 5, 6};
    const double w[3] = {1.0, GetParam().weight, 1.0};
    weighted_pair_scan scan(2, {}, 1);
    EXPECT_THROW(scan.add({x, 2, 1}, {x, 2, 1}, w, 1, 3, nullptr), std::invalid_argument);
    EXPECT_EQ(scan.pairs(), 0u);
    EXPECT_TRUE(scan.shift().empty());
}

INSTANTIATE_TEST_SUITE_P(table, weighted_refuses,
                         ::testing::Values(bad_weight_case{"minus_inf", -INFINITY},
                                           bad_weight_case{"nan", std::nan("")},
                                           bad_weight_case{"inf", INFINITY}),
                         [](const ::testing::TestParamInfo<bad_weight_case>& info) {
                             return info.param.name;
                         });

}  // namespace
}  // namespace lagstat::passes
