// The weighted pair sums against a literal loop: pair after pair, each weighted product rounded
// as (w x_i) x_j, blocks of pairs by pair index folded with Knuth's two-sum, for every thread
// count, every way of handing the pairs over and sizes around the block and panel boundaries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
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
    // the pooled sums: a frame's weight, a pair's, a tail's
    const double v[3] = {1.0, 1.0, 1.0};
    pooled_frame_scan pooled(2, {}, 1);
    EXPECT_THROW(pooled.add({x, 2, 1}, w, 1, 3, {x, 2, 1}, v, 1, 1, nullptr),
                 std::invalid_argument);
    EXPECT_THROW(pooled.add({x, 2, 1}, v, 1, 3, {x, 2, 1}, w, 1, 3, nullptr),
                 std::invalid_argument);
    EXPECT_THROW(pooled.end({x, 2, 1}, {x, 2, 1}, w, 1, 3, nullptr), std::invalid_argument);
    EXPECT_EQ(pooled.pairs(), 0u);
    EXPECT_TRUE(pooled.shift().empty());
}

INSTANTIATE_TEST_SUITE_P(table, weighted_refuses,
                         ::testing::Values(bad_weight_case{"minus_inf", -INFINITY},
                                           bad_weight_case{"nan", std::nan("")},
                                           bad_weight_case{"inf", INFINITY}),
                         [](const ::testing::TestParamInfo<bad_weight_case>& info) {
                             return info.param.name;
                         });

// The pooled sums of trajectories (frames x, row-major, weights w) ending after T frames each,
// written out with no kernel: the frames but the tails in blocks by their index among those of
// all trajectories, each trajectory's tail in pieces at its end, every block and piece summed
// from zero and folded by two-sum as it ends, the pending block last. Elements: w, s, c, tc.
struct trajectory {
    const double* x;
    const double* w;
    std::size_t frames;
};

std::vector<double> literal_pooled(const std::vector<trajectory>& ts, std::size_t n,
                                   std::size_t lag, std::uint64_t& pairs) {
    const std::size_t nn = n * n, len = 1 + n + 2 * nn;
    std::vector<double> hi(len, 0.0), lo(len, 0.0), block(len, 0.0), d(n), vx(n), ex(n);
    // the shift: the first frame added, of the first trajectory longer than the lag
    const double* s =
        std::find_if(ts.begin(), ts.end(), [&](const trajectory& t) { return t.frames > lag; })->x;
    std::size_t in_block = 0;
    pairs = 0;
    auto fold = [&](bool keep, std::vector<double>* out) {
        for (std::size_t e = 0; e < len; ++e) {
            const double t = hi[e] + block[e];
            const double bb = t - hi[e];
            const double l = lo[e] + ((hi[e] - (t - bb)) + (block[e] - bb));
            if (keep) {
                hi[e] = t;
                lo[e] = l;
            } else {
                (*out)[e] = t + l;
            }
        }
        if (keep) std::fill(block.begin(), block.end(), 0.0);
    };
    // frame k of trajectory tr with pooled weight v; its pair's earlier frame k - lag if any
    auto add = [&](const trajectory& tr, std::size_t k, double v) {
        const bool paired = k >= lag;
        for (std::size_t i = 0; i < n; ++i) {
            d[i] = tr.x[k * n + i] - s[i];
            vx[i] = v * d[i];
            if (paired) ex[i] = tr.w[k - lag] * (tr.x[(k - lag) * n + i] - s[i]);
        }
        if (paired) {
            block[0] = block[0] + tr.w[k - lag];
            ++pairs;
        }
        for (std::size_t i = 0; i < n; ++i) {
            block[1 + i] = block[1 + i] + vx[i];
            for (std::size_t j = 0; j < n; ++j) {
                if (j >= i) block[1 + n + i * n + j] = block[1 + n + i * n + j] + vx[i] * d[j];
                if (paired)
                    block[1 + n + nn + i * n + j] = block[1 + n + nn + i * n + j] + ex[i] * d[j];
            }
        }
    };
    for (const trajectory& tr : ts) {
        const std::size_t body = tr.frames > lag ? tr.frames - lag : 0;
        for (std::size_t k = 0; k < body; ++k) {
            add(tr, k, k >= lag ? tr.w[k] + tr.w[k - lag] : tr.w[k]);
            if (++in_block == stats::weighted_block_pairs) {
                fold(true, nullptr);
                in_block = 0;
            }
        }
        // the tail, in pieces: the main block's sums wait aside
        const std::vector<double> pending = block;
        std::fill(block.begin(), block.end(), 0.0);
        const std::size_t from = std::max(body, lag);
        for (std::size_t k0 = from; k0 < tr.frames; k0 += stats::pooled_tail_frames) {
            for (std::size_t k = k0; k < std::min(tr.frames, k0 + stats::pooled_tail_frames); ++k)
                add(tr, k, tr.w[k - lag]);
            fold(true, nullptr);
        }
        block = pending;
    }
    std::vector<double> out(len);
    fold(false, &out);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < i; ++j) out[1 + n + i * n + j] = out[1 + n + j * n + i];
    return out;
}

struct pooled_case {
    const char* name;
    std::size_t columns, lag;
    std::vector<std::size_t> frames;  // per trajectory
    std::size_t chunk;                // frames per add()
    std::size_t threads;
    std::size_t peek;  // 0, or a look at the totals every this many frames of a trajectory
};

std::ostream& operator<<(std::ostream& os, const pooled_case& c) {
    return os << c.name;
}

class pooled_vs_literal : public ::testing::TestWithParam<pooled_case> {};

// Frames [from, to) of a trajectory but its tail, in chunks, as lagstat_tica's PooledSums
// hands them over: their weights, and the earlier frame of each pair with its weight.
void add_body(pooled_frame_scan& scan, const trajectory& tr, std::size_t n, std::size_t lag,
              std::size_t from, std::size_t to, std::size_t chunk, thread_team* team) {
    for (std::size_t a = from; a < to; a += chunk) {
        const std::size_t b = std::min(to, a + chunk), f = std::max(a, lag);
        const std::size_t pairs = b > f ? b - f : 0;
        const std::size_t e0 = pairs ? f - lag : 0;
        scan.add({tr.x + a * n, n, 1}, tr.w + a, 1, b - a, {tr.x + e0 * n, n, 1}, tr.w + e0, 1,
                 pairs, team);
    }
}

// The tail of a trajectory that ends after `frames`: totals() with it, or end().
const stats::pooled_sums* tail(pooled_frame_scan& scan, const trajectory& tr, std::size_t n,
                               std::size_t lag, std::size_t frames, bool ends, thread_team* team) {
    const std::size_t a = std::max(frames > lag ? frames - lag : 0, lag);
    const std::size_t m = frames > a ? frames - a : 0, e0 = m ? a - lag : 0;
    const strided_rows x{tr.x + a * n, n, 1}, e{tr.x + e0 * n, n, 1};
    if (!ends) return &scan.totals(x, e, tr.w + e0, 1, m, team);
    scan.end(x, e, tr.w + e0, 1, m, team);
    return nullptr;
}

void expect_pooled(const stats::pooled_sums& got, const std::vector<double>& want,
                   std::uint64_t pairs, std::size_t n) {
    const std::size_t nn = n * n;
    EXPECT_EQ(got.pairs, pairs);
    EXPECT_EQ(got.w, want[0]);
    EXPECT_EQ(got.s, std::vector<double>(want.begin() + 1, want.begin() + 1 + n));
    EXPECT_EQ(got.c, std::vector<double>(want.begin() + 1 + n, want.begin() + 1 + n + nn));
    EXPECT_EQ(got.tc, std::vector<double>(want.begin() + 1 + n + nn, want.end()));
}

TEST_P(pooled_vs_literal, same_bits) {
    const pooled_case& c = GetParam();
    const std::size_t n = c.columns, lag = c.lag;
    std::vector<std::vector<double>> xs, ws;
    std::vector<trajectory> ts;
    for (std::size_t frames : c.frames) {
        std::vector<double> x, y, w;
        make_pairs({c.name, n, frames, 1, 1, false}, x, y, w);
        xs.push_back(std::move(x));
        ws.push_back(std::move(w));
        ts.push_back({xs.back().data(), ws.back().data(), frames});
    }
    thread_team team(c.threads);
    thread_team* t = c.threads > 1 ? &team : nullptr;
    pooled_frame_scan scan(n, {}, c.threads);
    for (std::size_t j = 0; j < ts.size(); ++j) {
        const std::size_t body = ts[j].frames > lag ? ts[j].frames - lag : 0;
        std::size_t done = 0;  // frames of the body added
        for (std::size_t seen = c.peek; c.peek != 0 && seen < ts[j].frames; seen += c.peek) {
            // a look after `seen` frames: the trajectory as if it ended there
            const std::size_t upto = seen > lag ? seen - lag : 0;
            add_body(scan, ts[j], n, lag, done, upto, c.chunk, t);
            done = std::max(done, upto);
            std::vector<trajectory> cut(ts.begin(), ts.begin() + static_cast<std::ptrdiff_t>(j));
            cut.push_back({ts[j].x, ts[j].w, seen});
            std::uint64_t pairs = 0;
            const std::vector<double> want = literal_pooled(cut, n, lag, pairs);
            if (pairs == 0) continue;
            SCOPED_TRACE("trajectory " + std::to_string(j) + ", " + std::to_string(seen) +
                         " frames");
            expect_pooled(*tail(scan, ts[j], n, lag, seen, false, t), want, pairs, n);
        }
        add_body(scan, ts[j], n, lag, done, body, c.chunk, t);
        tail(scan, ts[j], n, lag, ts[j].frames, true, t);
    }
    std::uint64_t pairs = 0;
    const std::vector<double> want = literal_pooled(ts, n, lag, pairs);
    expect_pooled(scan.totals({nullptr, 0, 0}, {nullptr, 0, 0}, nullptr, 1, 0, t), want, pairs, n);
}

INSTANTIATE_TEST_SUITE_P(
    table, pooled_vs_literal,
    ::testing::Values(
        pooled_case{"one_trajectory", 3, 2, {40}, 40, 1, 0},
        pooled_case{"shorter_than_two_lags_and_the_lag", 4, 5, {3, 8, 5, 30}, 7, 2, 0},
        pooled_case{"block_boundaries_frame_by_frame", 5, 3, {1027, 1030}, 1, 3, 0},
        pooled_case{"tails_longer_than_a_piece_peeking", 6, 300, {2600, 700}, 511, 2, 389},
        pooled_case{"peeking_around_blocks", 10, 10, {3100, 1500}, 333, 5, 1021},
        pooled_case{"wider_than_a_tile", 37, 7, {1500, 900}, 700, 6, 450},
        pooled_case{"wide_row_bands", 130, 4, {1100}, 1100, 7, 0},
        pooled_case{"wide_one_thread_peeking", 130, 4, {1100, 50}, 300, 1, 520}),
    [](const ::testing::TestParamInfo<pooled_case>& info) { return info.param.name; });

}  // namespace
}  // namespace lagstat::passes
