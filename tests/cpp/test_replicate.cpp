// Bootstrap replicates' pair moments and the Cholesky test of their C00: every instruction-set
// build and thread count gives the same bits (the Python tests hold them to the estimator's
// NumPy arithmetic), and the test's answer follows the eigenvalues it decides on.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "cpu/isa.hpp"
#include "passes/replicate_pass.hpp"
#include "stats/replicate_moments.hpp"

namespace lagstat::stats {
namespace {

// The groups' arrays of one lag, of widely different sizes, and a batch drawing from them.
struct problem {
    std::size_t n, groups, replicates;
    std::vector<std::vector<double>> arrays;
    replicate_groups g;
    std::vector<std::int64_t> draws;
    std::vector<double> pairs;

    problem(std::size_t n_, std::size_t groups_, std::size_t replicates_)
        : n(n_), groups(groups_), replicates(replicates_) {
        std::mt19937_64 rng(n * 131 + groups);
        std::normal_distribution<double> normal;
        arrays.reserve(7 * groups);
        g.n = n;
        auto add = [&](std::vector<const double*>& to, std::size_t size) {
            arrays.emplace_back(size);
            for (double& v : arrays.back()) v = normal(rng) * std::ldexp(1.0, int(rng() % 40) - 10);
            to.push_back(arrays.back().data());
        };
        for (std::size_t k = 0; k < groups; ++k) {
            add(g.total, n), add(g.tail_sum, n), add(g.head_sum, n);
            add(g.cov, n * n), add(g.tcov, n * n), add(g.tail_cov, n * n), add(g.head_cov, n * n);
        }
        for (std::size_t k = 0; k < replicates * groups; ++k) draws.push_back(rng() % groups);
        for (std::size_t r = 0; r < replicates; ++r) pairs.push_back(double(100 + rng() % 9000));
    }

    // C00 then C0t of every replicate, computed with `threads` threads.
    std::vector<double> solve(std::size_t threads) const {
        std::vector<double> out(2 * replicates * n * n);
        replicate_batch b{draws.data(), groups,     replicates,
                          pairs.data(), out.data(), out.data() + replicates * n * n};
        passes::replicate_moments(g, b, threads);
        return out;
    }
};

class replicate_builds : public ::testing::TestWithParam<cpu::isa> {
protected:
    void SetUp() override {
        saved_ = cpu::active_isa();
        if (!cpu::select_isa(GetParam())) GTEST_SKIP() << "CPU lacks " << cpu::isa_name(GetParam());
    }
    void TearDown() override { cpu::select_isa(saved_); }

private:
    cpu::isa saved_ = cpu::isa::generic;
};

TEST_P(replicate_builds, give_the_portable_builds_bits_on_any_thread_count) {
    for (const auto& [n, groups, replicates] :
         {std::tuple<std::size_t, std::size_t, std::size_t>{1, 2, 1}, {37, 5, 3}, {70, 64, 2}}) {
        const problem p(n, groups, replicates);
        const cpu::isa set = cpu::active_isa();
        ASSERT_TRUE(cpu::select_isa(cpu::isa::generic));
        const std::vector<double> want = p.solve(1);
        ASSERT_TRUE(cpu::select_isa(set));
        for (std::size_t threads : {1, 2, 5}) {
            const std::vector<double> got = p.solve(threads);
            ASSERT_EQ(std::memcmp(want.data(), got.data(), want.size() * sizeof(double)), 0)
                << "n " << n << ", " << threads << " threads";
        }
    }
}

TEST_P(replicate_builds, cholesky_test_follows_the_smallest_eigenvalue) {
    // [[1, c], [c, 1]] has eigenvalues 1 - c and 1 + c: a factor of it less s I exists for
    // s < 1 - c only; a diagonal of n ones less s for s < 1; nan never has one.
    struct row {
        std::vector<double> a;
        double shift;
        bool exists;
    };
    std::vector<double> eye(50 * 50, 0.0);
    for (std::size_t i = 0; i < 50; ++i) eye[i * 51] = 1.0;
    std::vector<double> poisoned = eye;
    poisoned[49 * 50 + 3] = std::nan("");
    const std::vector<row> rows = {
        {{1.0, 0.999, 0.999, 1.0}, 0.0009, true},
        {{1.0, 0.999, 0.999, 1.0}, 0.0011, false},
        {{1.0, 2.0, 2.0, 1.0}, 0.0, false},  // indefinite
        {{1.0, 2.0, 0.5, 1.0}, 0.0, true},   // the lower triangle is what is read
        {eye, 0.999, true},
        {eye, 1.0, false},
        {poisoned, 0.0, false},
    };
    for (const row& r : rows) {
        const auto n = static_cast<std::size_t>(std::lround(std::sqrt(double(r.a.size()))));
        std::vector<double> work(n * n);
        EXPECT_EQ(cholesky_exists(r.a.data(), n, r.shift, work.data()), r.exists)
            << "n " << n << ", shift " << r.shift;
    }
}

INSTANTIATE_TEST_SUITE_P(isa, replicate_builds,
                         ::testing::Values(cpu::isa::generic, cpu::isa::avx2, cpu::isa::avx512),
                         [](const ::testing::TestParamInfo<cpu::isa>& info) {
                             return std::string(cpu::isa_name(info.param));
                         });

}  // namespace
}  // namespace lagstat::stats
