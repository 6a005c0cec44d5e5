// The moment accumulator against the literal per-frame kernels driven frame by frame, as one pass
// over a file drives them: bit for bit, for block sizes, lags and frame counts around the block
// boundaries, across flushes and across a second accumulator that continues on the same sums,
// and with the elements split among threads that add every block side by side.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "source/byte_source.hpp"
#include "harness/line_walker.hpp"
#include "projection/project.hpp"
#include "reference/reference_kernels.hpp"
#include "stats/kernel_dispatch.hpp"
#include "stats/mirror.hpp"
#include "stats/moments.hpp"
#include "support/frame_store.hpp"

namespace lagstat::stats {
namespace {

namespace ref = lagstat::reference;
using harness::frame_store;

::testing::AssertionResult same_bits(const std::vector<double>& want,
                                     const std::vector<double>& got) {
    if (want.size() != got.size()) return ::testing::AssertionFailure() << "sizes differ";
    std::string report;
    std::size_t bad = 0;
    for (std::size_t i = 0; i < want.size(); ++i) {
        if (std::memcmp(&want[i], &got[i], sizeof(double)) == 0) continue;
        if (bad++ < 5) {
            char line[160];
            std::snprintf(line, sizeof line, "\n  [%zu] want %a got %a", i, want[i], got[i]);
            report += line;
        }
    }
    if (bad == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << bad << " elements differ" << report;
}

std::vector<double> random_values(std::mt19937_64& rng, std::size_t count) {
    std::uniform_real_distribution<double> mantissa(-2.0, 2.0);
    std::uniform_int_distribution<int> exponent(-30, 30);
    std::vector<double> v(count);
    for (double& x : v) x = std::ldexp(mantissa(rng), exponent(rng));
    return v;
}

struct sums {
    std::vector<double> mean, var, cov, tcov;
    double pairs = 0.0;
};

struct switches {
    bool add_mean, var, cov, tcov;
    std::size_t lag;
};

// One pass as the per-frame kernels make it: a fresh ring, t from 0.
void reference_pass(sums& s, const std::vector<std::vector<double>>& frames, std::size_t n,
                    const switches& on) {
    std::vector<double> ring(on.tcov ? n * on.lag : 0, 0.0);
    std::vector<double> x(n);
    for (std::size_t t = 0; t < frames.size(); ++t) {
        x = frames[t];
        if (on.add_mean) {
            ref::add_sum(x.data(), s.mean.data(), n);
        } else {
            for (std::size_t i = 0; i < n; ++i) x[i] = x[i] - s.mean[i];
        }
        if (on.var) ref::add_squares(x.data(), s.var.data(), n);
        if (on.cov) ref::add_outer_upper(x.data(), s.cov.data(), n);
        if (on.tcov)
            ref::add_lagged_outer(x.data(), s.tcov.data(), &s.pairs, n, t, ring.data(), on.lag);
    }
}

moment_targets targets_for(sums& s, const switches& on) {
    moment_targets tg;
    tg.mean = s.mean.data();
    tg.add_mean = on.add_mean;
    if (on.var) tg.var = s.var.data();
    if (on.cov) tg.cov = s.cov.data();
    if (on.tcov) {
        tg.tcov = s.tcov.data();
        tg.tcov_pairs = &s.pairs;
        tg.lag = on.lag;
    }
    return tg;
}

// Frames [from, to) into acc: frame by frame through its own store, or, with parts > 1, in
// blocks of the caller's of random sizes whose parts run on threads of their own at once.
void feed(frame_store& acc, const std::vector<std::vector<double>>& frames, std::size_t from,
          std::size_t to, std::mt19937_64& rng) {
    if (acc.parts() == 1) {
        for (std::size_t t = from; t < to; ++t) {
            std::memcpy(acc.next_frame(), frames[t].data(), frames[t].size() * sizeof(double));
            acc.commit_frame();
        }
        return;
    }
    for (std::size_t t = from; t < to;) {
        const std::size_t m = std::min<std::size_t>(to - t, 1 + rng() % (2 * acc.block() + 3));
        std::vector<std::vector<double>> block(frames.begin() + t, frames.begin() + t + m);
        std::vector<const double*> rows;
        for (auto& f : block) {
            acc.centre(f.data());
            rows.push_back(f.data());
        }
        acc.begin_block(rows.data(), m);
        std::vector<std::thread> threads;
        for (std::size_t p = 0; p < acc.parts(); ++p)
            threads.emplace_back([&acc, p] { acc.add_block_part(p); });
        for (auto& th : threads) th.join();
        acc.end_block();
        t += m;
    }
}

struct split_case {
    std::size_t block, parts;
};

class accumulator_vs_reference : public ::testing::TestWithParam<split_case> {};

TEST_P(accumulator_vs_reference, matches_per_frame_kernels_bit_for_bit) {
    const std::size_t block = GetParam().block, parts = GetParam().parts;
    std::mt19937_64 rng(block * 7919 + 1);
    const std::size_t lags[] = {1, 2, block, block + 1, 2 * block, block / 2 + 3};
    int case_index = 0;
    for (std::size_t lag : lags) {
        const std::size_t counts[] = {0,
                                      1,
                                      lag,
                                      lag + 1,
                                      block - 1,
                                      block,
                                      block + 1,
                                      2 * block + lag,
                                      lag + block - 1,
                                      3 * block + 2};
        for (std::size_t count : counts) {
            for (bool add_mean : {true, false}) {
                ++case_index;
                const std::size_t n = 1 + rng() % 19;
                // Statistics switched on at random, but tcov in every other case.
                const switches on{add_mean, (rng() & 1) != 0, (rng() & 1) != 0,
                                  case_index % 2 == 0 || (rng() & 1) != 0, lag};
                const std::size_t second = rng() % (2 * block + lag + 2);
                SCOPED_TRACE("lag=" + std::to_string(lag) + " frames=" + std::to_string(count) +
                             "+" + std::to_string(second) + " n=" + std::to_string(n) +
                             " add_mean=" + std::to_string(add_mean) +
                             " var/cov/tcov=" + std::to_string(on.var) + std::to_string(on.cov) +
                             std::to_string(on.tcov));

                std::vector<std::vector<double>> first_file(count), second_file(second);
                for (auto& f : first_file) f = random_values(rng, n);
                for (auto& f : second_file) f = random_values(rng, n);

                sums start;  // earlier passes' results, so nothing starts from zero
                start.mean = random_values(rng, n);
                start.var = random_values(rng, n);
                start.cov = random_values(rng, n * n);
                start.tcov = random_values(rng, n * n);
                start.pairs = static_cast<double>(rng() % 1000);

                sums want = start;
                reference_pass(want, first_file, n, on);
                reference_pass(want, second_file, n, on);

                sums got = start;
                {
                    // First file: flushed halfway (the sums must be complete for the frames
                    // so far), continued, then flushed as a failing pass would be.
                    frame_store acc(n, targets_for(got, on), block, parts);
                    feed(acc, first_file, 0, count / 2, rng);
                    acc.flush();
                    sums halfway = start;
                    reference_pass(halfway, {first_file.begin(), first_file.begin() + count / 2}, n,
                                   on);
                    ASSERT_TRUE(same_bits(halfway.tcov, got.tcov)) << "tcov after halfway flush";
                    ASSERT_EQ(halfway.pairs, got.pairs);
                    feed(acc, first_file, count / 2, count, rng);
                    acc.flush();
                    acc.flush();  // a second flush adds nothing
                    EXPECT_EQ(acc.frames(), count);
                }
                {
                    // Second file: a fresh accumulator on the same sums; no pair spans files.
                    frame_store acc(n, targets_for(got, on), block, parts);
                    feed(acc, second_file, 0, second, rng);
                    acc.flush();
                    EXPECT_EQ(acc.frames(), second);
                }
                EXPECT_TRUE(same_bits(want.mean, got.mean)) << "mean";
                EXPECT_TRUE(same_bits(want.var, got.var)) << "var";
                EXPECT_TRUE(same_bits(want.cov, got.cov)) << "cov";
                EXPECT_TRUE(same_bits(want.tcov, got.tcov)) << "tcov";
                EXPECT_EQ(std::memcmp(&want.pairs, &got.pairs, sizeof(double)), 0)
                    << want.pairs << " vs " << got.pairs;
                if (HasFailure()) return;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    block, accumulator_vs_reference,
    ::testing::Values(split_case{1, 1}, split_case{2, 1}, split_case{3, 1}, split_case{64, 1},
                      split_case{128, 1}, split_case{3, 2}, split_case{64, 3}, split_case{128, 8}),
    [](const ::testing::TestParamInfo<split_case>& info) {
        return "block" + std::to_string(info.param.block) + "_parts" +
               std::to_string(info.param.parts);
    });

// Frames as wide as the kernels' full register tiles and wider, whose panels the accumulator's
// own workspace holds, on every instruction set.
struct wide_case {
    std::size_t n, frames, lag, parts;
};

class accumulator_wide_frames : public ::testing::TestWithParam<wide_case> {};

TEST_P(accumulator_wide_frames, match_per_frame_kernels_bit_for_bit) {
    const wide_case wc = GetParam();
    std::mt19937_64 rng(wc.n * 31 + wc.frames);
    std::vector<std::vector<double>> frames(wc.frames);
    for (auto& f : frames) f = random_values(rng, wc.n);
    const switches on{false, true, true, true, wc.lag};
    sums start;
    start.mean = random_values(rng, wc.n);
    start.var = random_values(rng, wc.n);
    start.cov = random_values(rng, wc.n * wc.n);
    start.tcov = random_values(rng, wc.n * wc.n);
    sums want = start;
    reference_pass(want, frames, wc.n, on);

    const cpu::isa saved = cpu::active_isa();
    for (cpu::isa isa : cpu::all_isas) {
        if (!cpu::select_isa(isa)) continue;  // not on this CPU
        SCOPED_TRACE(cpu::isa_name(isa));
        sums got = start;
        frame_store acc(wc.n, targets_for(got, on), frame_store::default_block, wc.parts);
        feed(acc, frames, 0, frames.size(), rng);
        acc.flush();
        EXPECT_TRUE(same_bits(want.var, got.var)) << "var";
        EXPECT_TRUE(same_bits(want.cov, got.cov)) << "cov";
        EXPECT_TRUE(same_bits(want.tcov, got.tcov)) << "tcov";
        EXPECT_EQ(want.pairs, got.pairs);
    }
    cpu::select_isa(saved);
}

INSTANTIATE_TEST_SUITE_P(shapes, accumulator_wide_frames,
                         ::testing::Values(wide_case{24, 130, 1, 1}, wide_case{61, 257, 1, 1},
                                           wide_case{97, 140, 3, 1}, wide_case{130, 300, 129, 1},
                                           wide_case{97, 140, 3, 2}, wide_case{130, 300, 129, 5}),
                         [](const ::testing::TestParamInfo<wide_case>& info) {
                             return "n" + std::to_string(info.param.n) + "_frames" +
                                    std::to_string(info.param.frames) + "_lag" +
                                    std::to_string(info.param.lag) + "_parts" +
                                    std::to_string(info.param.parts);
                         });

TEST(moment_accumulator, pair_count_adds_one_at_a_time) {
    // Past 2^53 adding 1.0 no longer changes the count; the accumulator must not add the block's
    // pair count in one go (which would round differently).
    const double big = 9007199254740992.0;  // 2^53
    std::vector<double> mean(1, 0.0), tcov(1, 0.0);
    double pairs = big;
    moment_targets tg;
    tg.mean = mean.data();
    tg.tcov = tcov.data();
    tg.tcov_pairs = &pairs;
    tg.lag = 1;
    frame_store acc(1, tg, 8);
    for (int t = 0; t < 8; ++t) {
        *acc.next_frame() = 1.0;
        acc.commit_frame();
    }
    acc.flush();
    double want = big;
    for (int p = 0; p < 7; ++p) want = want + 1.0;
    EXPECT_EQ(pairs, want);
}

struct bad_size_case {
    const char* name;
    std::size_t n;
    std::size_t lag;  // 0: no lagged statistic
    std::size_t block;
};

class accumulator_store_size : public ::testing::TestWithParam<bad_size_case> {};

TEST_P(accumulator_store_size, unrepresentable_or_unobtainable_store_throws_bad_alloc) {
    const bad_size_case& c = GetParam();
#if defined(__SANITIZE_ADDRESS__)
    if (std::string(c.name) == "representable_but_too_big")
        GTEST_SKIP() << "the address sanitizer aborts on oversized requests";
#endif
    double mean = 0.0, tcov = 0.0, pairs = 0.0;
    moment_targets tg;
    tg.mean = &mean;
    if (c.lag != 0) {
        // Only the store size is computed from n and lag; the targets are never touched.
        tg.tcov = &tcov;
        tg.tcov_pairs = &pairs;
        tg.lag = c.lag;
    }
    EXPECT_THROW(frame_store(c.n, tg, c.block), std::bad_alloc);
}

constexpr std::size_t size_max = std::numeric_limits<std::size_t>::max();

INSTANTIATE_TEST_SUITE_P(
    cases, accumulator_store_size,
    ::testing::Values(bad_size_case{"half_of_address_space_lag", 1, size_max / 2, 128},
                      bad_size_case{"lag_plus_block_wraps", 1, size_max - 10, 128},
                      bad_size_case{"lag_times_columns_wraps", 1u << 20, size_max / (1u << 19), 1},
                      bad_size_case{"columns_wrap", size_max / 2, 0, 128},
                      bad_size_case{"columns_round_up_wraps", size_max - 2, 0, 1},
                      bad_size_case{"representable_but_too_big", 8, std::size_t{1} << 52, 128}),
    [](const ::testing::TestParamInfo<bad_size_case>& info) {
        return std::string(info.param.name);
    });

// The store holds at most store_bytes of block frames beside the lag frames, and narrow
// frames are not padded: a long lag over one column costs its values, not a cache line each.
TEST(moment_accumulator, store_stays_within_its_bound) {
    struct bound_case {
        std::size_t n, lag, block, max_store_doubles;
    };
    constexpr std::size_t limit = frame_store::store_bytes / sizeof(double);
    const bound_case cases[] = {
        {1, 5'000'000, 128, 5'000'000 + 128},
        {9, 0, 128, 9 * 128},
        {500, 1, 128, 504 * 129},
        {1u << 20, 0, size_max / 1024, 1u << 20},          // one frame per block
        {1u << 16, 3, 128, (limit / (1u << 16) + 3) << 16},  // the block shrinks to the bound
    };
    for (const bound_case& c : cases) {
        double tcov = 0.0, pairs = 0.0;
        std::vector<double> mean(c.n);
        moment_targets tg;
        tg.mean = mean.data();
        if (c.lag != 0) {
            tg.tcov = &tcov;  // never touched: no frame is committed
            tg.tcov_pairs = &pairs;
            tg.lag = c.lag;
        }
        frame_store acc(c.n, tg, c.block);
        EXPECT_LE(acc.store_doubles(), c.max_store_doubles) << "n=" << c.n << " lag=" << c.lag;
        EXPECT_GE(acc.block(), 1u);
    }
}

TEST(moment_accumulator, rejects_empty_frames_and_unusable_lag) {
    double mean = 0.0, tcov = 0.0, pairs = 0.0;
    moment_targets plain;
    plain.mean = &mean;
    EXPECT_THROW(moment_accumulator(0, plain), std::invalid_argument);
    EXPECT_THROW(frame_store(1, plain, 0), std::invalid_argument);         // no block
    EXPECT_THROW(moment_accumulator(1, plain, 0), std::invalid_argument);  // no part
    moment_targets lagged = plain;
    lagged.tcov = &tcov;
    lagged.tcov_pairs = &pairs;
    lagged.lag = 0;
    EXPECT_THROW(moment_accumulator(1, lagged), std::invalid_argument);
    lagged.lag = 1;
    lagged.tcov_pairs = nullptr;
    EXPECT_THROW(moment_accumulator(1, lagged), std::invalid_argument);
}

// ---- the same sums on every machine -------------------------------------------------------
// A file's sums and projections depend on its text alone: not on the instruction set the kernels
// run on, nor on the machine. The digests below were recorded on x86-64, where every kernel and
// projection path gives them, and must come out the same wherever the tests run (the aarch64
// cross build runs them under QEMU). A change of a digest is a change of results: it is wrong
// unless the arithmetic was meant to change.

/// splitmix64: fully specified, unlike <random>'s distributions, whose output is the library's
/// own choice.
std::uint64_t next_bits(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
}

/// In [-2^e, 2^e) for e in [-8, 7], from 53 random bits: exact, so no rounding mode or library
/// enters.
double next_value(std::uint64_t& state) {
    const std::uint64_t bits = next_bits(state);
    const double unit = static_cast<double>(static_cast<std::int64_t>(bits >> 11) -
                                            (std::int64_t{1} << 52)) /
                        4503599627370496.0;  // 2^52
    return std::ldexp(unit, static_cast<int>(bits & 15) - 8);
}

struct fnv1a {
    std::uint64_t h = 0xCBF29CE484222325u;
    void add(const double* v, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            std::uint64_t bits;
            std::memcpy(&bits, &v[i], sizeof bits);
            for (int byte = 0; byte < 8; ++byte) {  // byte order fixed, whatever the machine's
                h ^= (bits >> (8 * byte)) & 0xFFu;
                h *= 0x100000001B3u;
            }
        }
    }
};

struct digest_case {
    const char* name;
    std::uint64_t seed;
    std::size_t frames, columns, lag, max_proj;
    const char* format;  // of one value
    const char* separator;
    std::uint64_t digest;
};

/// The text of a trajectory: offset columns of random values, as a simulation writes them.
std::string digest_text(const digest_case& c) {
    std::uint64_t state = c.seed;
    std::string text;
    char field[64];
    for (std::size_t t = 0; t < c.frames; ++t) {
        for (std::size_t i = 0; i < c.columns; ++i) {
            const double x = 3.0 * static_cast<double>(i) - 10.0 + next_value(state);
            std::snprintf(field, sizeof field, c.format, x);
            text += field;
            text += i + 1 < c.columns ? c.separator : "\n";
        }
    }
    return text;
}

/// One pass over the text as the run and stream passes make it: each line read by the record
/// reader to where(), then taken by done() (small buffers, so that fields are cut at refills).
template <typename Where, typename Done>
void for_each_frame(const std::string& text, std::size_t n, Where&& where, Done&& done) {
    source::memory_source src(text.data(), text.size(), 4093);
    harness::line_walker reader(src, 1021);
    for (;;) {
        const int r = reader.read_record(where(), static_cast<int>(n));
        if (r == 0) break;
        ASSERT_EQ(r, static_cast<int>(n)) << "line " << reader.line_number();
        done();
    }
}

/// Pass 1 (sum, mean), pass 2 (var, cov, tcov at the case's lag) and the projection of every
/// centred frame, digested in that order.
std::uint64_t digest_of(const digest_case& c, const std::string& text,
                        projection::detail::project_fn project) {
    const std::size_t n = c.columns;
    fnv1a digest;
    std::vector<double> sum(n, 0.0), mean(n), var(n, 0.0), cov(n * n, 0.0), tcov(n * n, 0.0);
    std::vector<double> x(n), centred(n), y(c.max_proj), weights(n * n);
    double pairs = 0.0;
    {
        moment_targets tg;
        tg.mean = sum.data();
        frame_store acc(n, tg);
        for_each_frame(
            text, n, [&] { return acc.next_frame(); }, [&] { acc.commit_frame(); });
        acc.flush();
        const double samples = static_cast<double>(acc.frames());
        for (std::size_t i = 0; i < n; ++i) mean[i] = sum[i] / samples;
        digest.add(sum.data(), n);
        digest.add(&samples, 1);
    }
    {
        moment_targets tg;
        tg.mean = mean.data();
        tg.add_mean = false;
        tg.var = var.data();
        tg.cov = cov.data();
        tg.tcov = tcov.data();
        tg.tcov_pairs = &pairs;
        tg.lag = c.lag;
        frame_store acc(n, tg);
        for_each_frame(
            text, n, [&] { return acc.next_frame(); }, [&] { acc.commit_frame(); });
        acc.flush();
        mirror_upper(cov.data(), n);
        digest.add(var.data(), n);
        digest.add(cov.data(), n * n);
        digest.add(tcov.data(), n * n);
        digest.add(&pairs, 1);
    }
    std::uint64_t state = ~c.seed;
    for (double& w : weights) w = next_value(state);
    for_each_frame(
        text, n, [&] { return x.data(); },
        [&] {
            for (std::size_t i = 0; i < n; ++i) centred[i] = x[i] - mean[i];
            project(centred.data(), weights.data(), n, c.max_proj, y.data());
            digest.add(y.data(), c.max_proj);
        });
    return digest.h;
}

void PrintTo(const digest_case& c, std::ostream* os) { *os << c.name; }

class same_sums_everywhere : public ::testing::TestWithParam<digest_case> {};

TEST_P(same_sums_everywhere, on_every_kernel_and_projection_path) {
    const digest_case& c = GetParam();
    const std::string text = digest_text(c);
    const cpu::isa saved = cpu::active_isa();
    int checked = 0;
    for (cpu::isa kernels : cpu::all_isas) {
        if (!cpu::select_isa(kernels)) continue;  // not on this CPU
        for (cpu::isa proj : cpu::all_isas) {
            if (!cpu::isa_supported(proj)) continue;
            const std::uint64_t got = digest_of(c, text, projection::detail::project_for(proj));
            ++checked;
            char hex[32];
            std::snprintf(hex, sizeof hex, "0x%016llx", static_cast<unsigned long long>(got));
            EXPECT_EQ(got, c.digest) << "kernels " << cpu::isa_name(kernels) << ", projection "
                                     << cpu::isa_name(proj) << ": digest " << hex;
        }
    }
    cpu::select_isa(saved);
    EXPECT_GT(checked, 0);
}

INSTANTIATE_TEST_SUITE_P(
    recorded, same_sums_everywhere,
    ::testing::Values(
        digest_case{"fixed_point_lag7", 1, 2000, 10, 7, 3, "%.6f", " ", 0x941e481419d89dc5},
        digest_case{"round_trip_commas", 2, 700, 37, 1, 37, "%.17g", ",", 0xbd6680f263d1490a},
        digest_case{"exp_tabs_long_lag", 3, 1500, 5, 130, 2, "%.5e", "\t", 0xc0339bad2d0db95a},
        digest_case{"wide_frames", 4, 300, 130, 3, 10, "%.9g", "  ", 0x23703de8fc9ccc97}),
    [](const ::testing::TestParamInfo<digest_case>& info) {
        return std::string(info.param.name);
    });

}  // namespace
}  // namespace lagstat::stats
