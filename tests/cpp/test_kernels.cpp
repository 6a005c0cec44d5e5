// Accumulation kernels: the literal per-frame kernels (the tests' oracle) on small worked cases,
// and every instruction-set path of the block kernels against them, bit for bit, whole and split
// into the column ranges and row bands that threads take.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "reference/reference_kernels.hpp"
#include "stats/kernel_dispatch.hpp"
#include "stats/mirror.hpp"

namespace lagstat::stats {
namespace {

namespace ref = lagstat::reference;

// Bitwise equality of two arrays, naming the first differing elements in hexfloat.
::testing::AssertionResult same_bits(const std::vector<double>& want,
                                     const std::vector<double>& got) {
    if (want.size() != got.size()) return ::testing::AssertionFailure() << "sizes differ";
    int shown = 0;
    std::string report;
    std::size_t bad = 0;
    for (std::size_t i = 0; i < want.size(); ++i) {
        if (std::memcmp(&want[i], &got[i], sizeof(double)) == 0) continue;
        ++bad;
        if (shown++ < 5) {
            char line[160];
            std::snprintf(line, sizeof line, "\n  [%zu] want %a got %a", i, want[i], got[i]);
            report += line;
        }
    }
    if (bad == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << bad << " elements differ" << report;
}

// Values whose sums depend on the order of the adds: mantissas scaled over a wide range of
// binary exponents, both signs, and now and then a zero of either sign.
std::vector<double> random_values(std::mt19937_64& rng, std::size_t count) {
    std::uniform_real_distribution<double> mantissa(1.0, 2.0);
    std::uniform_int_distribution<int> exponent(-40, 40);
    std::uniform_int_distribution<int> pick(0, 31);
    std::vector<double> v(count);
    for (double& x : v) {
        const int p = pick(rng);
        if (p == 0) {
            x = 0.0;
        } else if (p == 1) {
            x = -0.0;
        } else {
            x = std::ldexp(mantissa(rng), exponent(rng));
            if (p & 2) x = -x;
        }
    }
    return v;
}

// ---- per-frame kernels: worked cases -------------------------------------------------------

struct frame_case {
    const char* name;
    std::size_t n;
    std::size_t lag;
    std::vector<std::vector<double>> frames;
};

// Expected lagged sum written out from its definition: sum over t >= lag of x_{t-lag} x_t^T.
std::vector<double> lagged_sum_by_definition(const frame_case& fc) {
    std::vector<double> t(fc.n * fc.n, 0.0);
    for (std::size_t k = fc.lag; k < fc.frames.size(); ++k) {
        for (std::size_t i = 0; i < fc.n; ++i)
            for (std::size_t j = 0; j < fc.n; ++j)
                t[i * fc.n + j] += fc.frames[k - fc.lag][i] * fc.frames[k][j];
    }
    return t;
}

class per_frame_kernels : public ::testing::TestWithParam<frame_case> {};

TEST_P(per_frame_kernels, lagged_outer_pairs_frames_lag_apart) {
    const frame_case& fc = GetParam();
    const std::size_t n = fc.n;
    std::vector<double> t(n * n, 0.0), ring(n * fc.lag, 0.0);
    double pairs = 0.0;
    for (std::size_t k = 0; k < fc.frames.size(); ++k)
        ref::add_lagged_outer(fc.frames[k].data(), t.data(), &pairs, n, k, ring.data(), fc.lag);
    const double expected_pairs =
        fc.frames.size() > fc.lag ? static_cast<double>(fc.frames.size() - fc.lag) : 0.0;
    EXPECT_EQ(pairs, expected_pairs);
    EXPECT_TRUE(same_bits(lagged_sum_by_definition(fc), t));
    // The ring ends holding the last lag frames, frame k in slot k % lag.
    for (std::size_t k = fc.frames.size() > fc.lag ? fc.frames.size() - fc.lag : 0;
         k < fc.frames.size(); ++k) {
        const std::size_t s = k % fc.lag;
        EXPECT_TRUE(same_bits(fc.frames[k],
                              std::vector<double>(ring.begin() + s * n, ring.begin() + s * n + n)));
    }
}

INSTANTIATE_TEST_SUITE_P(
    cases, per_frame_kernels,
    ::testing::Values(
        frame_case{"lag1_three_frames", 2, 1, {{1, 2}, {3, 4}, {5, 7}}},
        frame_case{"lag2_four_frames", 2, 2, {{1, 2}, {3, 4}, {5, 7}, {-1, 0.5}}},
        frame_case{"fewer_frames_than_lag_plus_one", 3, 3, {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}}},
        frame_case{"lag_beyond_frames", 1, 5, {{2}, {3}}},
        frame_case{"scalar_lag1", 1, 1, {{2}, {3}, {-4}}},
        frame_case{"lag3_wraps_ring_twice",
                   2,
                   3,
                   {{1, 1}, {2, -1}, {0, 3}, {4, 4}, {-2, 5}, {6, 0}, {1, -3}, {2, 2}}}),
    [](const ::testing::TestParamInfo<frame_case>& info) { return std::string(info.param.name); });

TEST(per_frame_kernels_worked, two_frames_sum_squares_and_mirrored_outer_product) {
    const double a[] = {1, 2}, b[] = {3, 4};
    std::vector<double> s(2, 0.0), q(2, 0.0), c(4, 0.0);
    for (const double* x : {a, b}) {
        ref::add_sum(x, s.data(), 2);
        ref::add_squares(x, q.data(), 2);
        ref::add_outer_upper(x, c.data(), 2);
    }
    EXPECT_EQ(c[2], 0.0) << "below the diagonal is left alone";
    mirror_upper(c.data(), 2);
    EXPECT_EQ(s, (std::vector<double>{4, 6}));
    EXPECT_EQ(q, (std::vector<double>{10, 20}));
    EXPECT_EQ(c, (std::vector<double>{10, 14, 14, 20}));
}

TEST(per_frame_kernels_worked, single_column_outer_and_mirror) {
    const double x = -3.0;
    double c = 1.5;
    ref::add_outer_upper(&x, &c, 1);
    mirror_upper(&c, 1);
    EXPECT_EQ(c, 10.5);
}

TEST(per_frame_kernels_worked, mirror_overwrites_lower_triangle) {
    std::vector<double> c = {1, 2, 3, 99, 4, 5, -7, 98, 6};
    mirror_upper(c.data(), 3);
    EXPECT_EQ(c, (std::vector<double>{1, 2, 3, 2, 4, 5, 3, 5, 6}));
}

// ---- block kernels against the literal loops, on every path ------------------------------

struct block_shape {
    std::size_t n;
    std::size_t m;
};

std::vector<block_shape> block_shapes() {
    std::vector<block_shape> shapes;
    const std::size_t small_n[] = {1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 23, 24, 25, 31, 32, 33};
    const std::size_t small_m[] = {0, 1, 2, 3, 5, 63, 64, 65, 130};
    for (std::size_t n : small_n)
        for (std::size_t m : small_m) shapes.push_back({n, m});
    const std::size_t large_n[] = {47, 64, 65, 100, 127, 128, 129, 300};
    const std::size_t large_m[] = {1, 7, 255, 256, 257, 300};
    std::mt19937_64 rng(7);
    for (std::size_t n : large_n) {
        shapes.push_back({n, large_m[rng() % 6]});
        shapes.push_back({n, 1 + rng() % 300});
    }
    return shapes;
}

class block_kernels : public ::testing::TestWithParam<cpu::isa> {
protected:
    void SetUp() override {
        saved_ = cpu::active_isa();
        if (!cpu::select_isa(GetParam())) GTEST_SKIP() << "CPU lacks " << cpu::isa_name(GetParam());
        ASSERT_EQ(cpu::active_isa(), GetParam());
    }
    void TearDown() override { cpu::select_isa(saved_); }

    // A block of m frames of length n, each in its own allocation, given in shuffled storage
    // order so that the row pointers follow no stride.
    struct frames {
        std::vector<std::vector<double>> storage;
        std::vector<const double*> rows;
    };
    static frames make_frames(std::mt19937_64& rng, std::size_t m, std::size_t n) {
        frames f;
        f.storage.resize(m);
        for (auto& s : f.storage) s = random_values(rng, n);
        std::vector<std::size_t> order(m);
        for (std::size_t k = 0; k < m; ++k) order[k] = k;
        std::shuffle(order.begin(), order.end(), rng);
        for (std::size_t k = 0; k < m; ++k) f.rows.push_back(f.storage[order[k]].data());
        return f;
    }

    cpu::isa saved_ = cpu::isa::generic;
};

// Splits [0, n) at random multiples of step: the ranges threads take.
std::vector<std::size_t> random_cuts(std::mt19937_64& rng, std::size_t n, std::size_t step) {
    std::vector<std::size_t> cuts = {0};
    for (std::size_t at = step * (1 + rng() % 3); at < n; at += step * (1 + rng() % 3))
        cuts.push_back(at);
    cuts.push_back(n);
    return cuts;
}

TEST_P(block_kernels, match_per_frame_loops_bit_for_bit) {
    std::mt19937_64 rng(1234);
    const detail::block_kernel_table& kernels = detail::active_block_kernels();
    for (const block_shape& shape : block_shapes()) {
        const std::size_t n = shape.n, m = shape.m;
        SCOPED_TRACE("n=" + std::to_string(n) + " m=" + std::to_string(m));
        const frames x = make_frames(rng, m, n);
        const frames y = make_frames(rng, m, n);

        // Non-zero starting sums; the lower triangle of c holds values that must survive.
        const std::vector<double> s0 = random_values(rng, n), c0 = random_values(rng, n * n),
                                  t0 = random_values(rng, n * n);
        std::vector<double> s_ref = s0, q_ref = s0, c_ref = c0, t_ref = t0;
        for (std::size_t k = 0; k < m; ++k) {
            ref::add_sum(x.rows[k], s_ref.data(), n);
            ref::add_squares(x.rows[k], q_ref.data(), n);
            ref::add_outer_upper(x.rows[k], c_ref.data(), n);
        }
        // Both products in one call, the pairs starting a third into the block: earlier frame
        // p (from y) with frame first + p.
        const std::size_t first = m / 3;
        for (std::size_t p = 0; first + p < m; ++p) {
            for (std::size_t i = 0; i < n; ++i)
                for (std::size_t j = 0; j < n; ++j)
                    t_ref[i * n + j] = t_ref[i * n + j] + y.rows[p][i] * x.rows[first + p][j];
        }

        // The pooled products of the same frames less a shift, frame k's left factor scaled by
        // v_k, the earlier frames by u_p: each factor rounded before its product.
        const std::vector<double> shift = random_values(rng, n), v = random_values(rng, m),
                                  u = random_values(rng, m);
        std::vector<double> ps_ref = s0, pc_ref = c0, pt_ref = t0;
        for (std::size_t k = 0; k < m; ++k) {
            for (std::size_t i = 0; i < n; ++i) {
                const double vx = v[k] * (x.rows[k][i] - shift[i]);
                ps_ref[i] = ps_ref[i] + vx;
                for (std::size_t j = i; j < n; ++j)
                    pc_ref[i * n + j] = pc_ref[i * n + j] + vx * (x.rows[k][j] - shift[j]);
                if (k < first) continue;
                const double ux = u[k - first] * (y.rows[k - first][i] - shift[i]);
                for (std::size_t j = 0; j < n; ++j)
                    pt_ref[i * n + j] = pt_ref[i * n + j] + ux * (x.rows[k][j] - shift[j]);
            }
        }
        const detail::pooled_frames pooled{shift.data(), v.data()};

        // Whole, and split into column ranges as threads split them.
        for (bool split : {false, true}) {
            SCOPED_TRACE(split ? "column ranges" : "whole");
            std::vector<double> s = s0, q = s0, ps = s0;
            const std::vector<std::size_t> cuts =
                split ? random_cuts(rng, n, 1 + rng() % 8) : std::vector<std::size_t>{0, n};
            for (std::size_t r = 0; r + 1 < cuts.size(); ++r) {
                kernels.add_sum(x.rows.data(), m, s.data(), cuts[r], cuts[r + 1]);
                kernels.add_squares(x.rows.data(), m, q.data(), cuts[r], cuts[r + 1]);
                kernels.add_pooled_sum(x.rows.data(), pooled, m, ps.data(), cuts[r], cuts[r + 1]);
            }
            EXPECT_TRUE(same_bits(s_ref, s)) << "sum";
            EXPECT_TRUE(same_bits(q_ref, q)) << "squares";
            EXPECT_TRUE(same_bits(ps_ref, ps)) << "pooled sum";
        }

        // Workspaces from the smallest allowed, through pieces of uneven size, to whole chunks
        // (what the moment accumulator gives them); each sum alone and both together; whole
        // and in row bands.
        const std::size_t least = kernels.min_work(n), whole = detail::full_panel_work(n);
        ASSERT_LE(least, whole);
        ASSERT_GE(whole, kernels.full_work(n));
        for (std::size_t work_doubles : {least, least + (whole - least) / 3, whole}) {
            for (bool bands : {false, true}) {
                SCOPED_TRACE("workspace " + std::to_string(work_doubles) +
                             (bands ? ", row bands" : ""));
                const std::vector<std::size_t> cuts =
                    bands ? random_cuts(rng, n, detail::row_band_step) : std::vector<std::size_t>{0, n};
                std::vector<double> work(work_doubles), c = c0, t = t0, cf = c0, tf = t0;
                for (std::size_t r = 0; r + 1 < cuts.size(); ++r) {
                    kernels.add_moment_products(x.rows.data(), m, c.data(), nullptr, m, nullptr, n,
                                                cuts[r], cuts[r + 1], work.data(), work_doubles);
                    kernels.add_moment_products(x.rows.data(), m, nullptr, y.rows.data(), first,
                                                t.data(), n, cuts[r], cuts[r + 1], work.data(),
                                                work_doubles);
                    kernels.add_moment_products(x.rows.data(), m, cf.data(), y.rows.data(), first,
                                                tf.data(), n, cuts[r], cuts[r + 1], work.data(),
                                                work_doubles);
                }
                EXPECT_TRUE(same_bits(c_ref, c)) << "outer upper";
                EXPECT_TRUE(same_bits(t_ref, t)) << "lagged outer";
                EXPECT_TRUE(same_bits(c_ref, cf)) << "both products: outer upper";
                EXPECT_TRUE(same_bits(t_ref, tf)) << "both products: lagged outer";
                std::vector<double> pc = c0, pt = t0;
                const detail::lagged_products lag{y.rows.data(), first, pt.data(), u.data()};
                for (std::size_t r = 0; r + 1 < cuts.size(); ++r)
                    kernels.add_pooled_products(x.rows.data(), pooled, m, pc.data(), &lag, 1, n,
                                                cuts[r], cuts[r + 1], work.data(), work_doubles);
                EXPECT_TRUE(same_bits(pc_ref, pc)) << "pooled: outer upper";
                EXPECT_TRUE(same_bits(pt_ref, pt)) << "pooled: lagged outer";
            }
        }
        if (HasFailure()) return;
    }
}

TEST_P(block_kernels, lagged_block_matches_ring_kernel_over_a_sequence) {
    // Consecutive frames of one sequence, paired lag apart through the ring by the per-frame
    // kernel and through row pointers by the block kernel.
    std::mt19937_64 rng(99);
    const detail::block_kernel_table& kernels = detail::active_block_kernels();
    for (std::size_t lag : {1u, 2u, 5u}) {
        const std::size_t n = 13, frames_total = 70;
        std::vector<std::vector<double>> seq(frames_total);
        for (auto& f : seq) f = random_values(rng, n);
        std::vector<double> t_ref(n * n, 0.25), ring(n * lag, 0.0), t = t_ref;
        double pairs = 0.0;
        for (std::size_t k = 0; k < frames_total; ++k)
            ref::add_lagged_outer(seq[k].data(), t_ref.data(), &pairs, n, k, ring.data(), lag);
        std::vector<const double*> earlier, later;
        for (std::size_t k = lag; k < frames_total; ++k) {
            earlier.push_back(seq[k - lag].data());
            later.push_back(seq[k].data());
        }
        std::vector<double> work(detail::full_panel_work(n));
        kernels.add_moment_products(later.data(), later.size(), nullptr, earlier.data(), 0,
                                    t.data(), n, 0, n, work.data(), work.size());
        EXPECT_EQ(pairs, static_cast<double>(earlier.size()));
        EXPECT_TRUE(same_bits(t_ref, t)) << "lag " << lag;
    }
}

TEST_P(block_kernels, stage_weighted_pairs_rounds_each_value_as_the_scalar_loop) {
    // Widths around every set's vector length, contiguous frames and interleaved ones (x every
    // other double, y the frames of x a lag on), weights strided; the stage's slots past the
    // pairs keep their guard values.
    std::mt19937_64 rng(5);
    const detail::block_kernel_table& kernels = detail::active_block_kernels();
    struct shape {
        std::size_t n, m, step, w_stride;
    };
    for (const shape& c :
         {shape{1, 3, 1, 1}, shape{3, 5, 2, 1}, shape{7, 9, 1, 2}, shape{8, 4, 1, 1},
          shape{10, 17, 1, 3}, shape{10, 6, 3, 1}, shape{17, 33, 1, 1}, shape{33, 2, 2, 2}}) {
        SCOPED_TRACE("n=" + std::to_string(c.n) + " m=" + std::to_string(c.m) +
                     " step=" + std::to_string(c.step));
        const std::size_t lag = 2, stride = c.n * c.step;
        const std::vector<double> data = random_values(rng, (c.m + lag) * stride),
                                  w = random_values(rng, c.m * c.w_stride),
                                  s = random_values(rng, c.n);
        const detail::strided_block x{data.data(), stride, c.step},
            y{data.data() + lag * stride, stride, c.step};
        std::vector<double> xr, yr, wxr, wyr;
        for (std::size_t k = 0; k < c.m; ++k) {
            for (std::size_t i = 0; i < c.n; ++i) {
                const double a = x.data[k * stride + i * c.step] - s[i];
                const double b = y.data[k * stride + i * c.step] - s[i];
                xr.push_back(a);
                yr.push_back(b);
                wxr.push_back(w[k * c.w_stride] * a);
                wyr.push_back(w[k * c.w_stride] * b);
            }
        }
        const double guard = 0.5;
        std::vector<double> xd(c.m * c.n + 1, guard), yd = xd, wx = xd, wy = xd;
        kernels.stage_weighted_pairs(x, y, w.data(), c.w_stride, c.m, s.data(), c.n, xd.data(),
                                     yd.data(), wx.data(), wy.data());
        for (std::vector<double>* v : {&xd, &yd, &wx, &wy}) {
            EXPECT_EQ(v->back(), guard);
            v->pop_back();
        }
        EXPECT_TRUE(same_bits(xr, xd)) << "x";
        EXPECT_TRUE(same_bits(yr, yd)) << "y";
        EXPECT_TRUE(same_bits(wxr, wx)) << "w x";
        EXPECT_TRUE(same_bits(wyr, wy)) << "w y";
    }
}

INSTANTIATE_TEST_SUITE_P(isa, block_kernels,
                         ::testing::Values(cpu::isa::generic, cpu::isa::avx2, cpu::isa::avx512),
                         [](const ::testing::TestParamInfo<cpu::isa>& info) {
                             return std::string(cpu::isa_name(info.param));
                         });

TEST(isa_dispatch, names_a_known_set_and_refuses_unknown_ones) {
    const cpu::isa active = cpu::active_isa();
    EXPECT_TRUE(cpu::isa_supported(active));
    EXPECT_TRUE(cpu::isa_supported(cpu::isa::generic));
    for (cpu::isa set : cpu::all_isas) {
        cpu::isa back;
        ASSERT_TRUE(cpu::isa_from_name(cpu::isa_name(set), back));
        EXPECT_EQ(back, set);
    }
    cpu::isa unused;
    EXPECT_FALSE(cpu::isa_from_name("sse9", unused));
    EXPECT_FALSE(cpu::isa_from_name(nullptr, unused));
    EXPECT_EQ(active, cpu::active_isa());
}

}  // namespace
}  // namespace lagstat::stats
