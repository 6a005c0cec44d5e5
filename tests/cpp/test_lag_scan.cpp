// The lag scan against literal loops over the same frames with the same shift (frames in order
// within fixed blocks, blocks folded by two-sum): counts exact, every sum bit for bit, for lags
// shorter and longer than segments, marker lines inside and between the threads' pieces and
// batches, and every thread count.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "passes/array_scan.hpp"
#include "passes/lag_scan.hpp"

namespace lagstat::passes {
namespace {

struct scan_case {
    const char* name;
    std::vector<std::size_t> segment_lengths;
    std::vector<std::size_t> lags;
    std::size_t columns;
    std::size_t threads;
    bool comments;        // '#' comment lines among the data (and comments="#")
    long bad_frame = -1;  // a refused line in place of this frame
};

// Known frames (printed with %.17g, read back exactly) and the file that holds them: a header,
// marker lines between segments, a time column after the frame's columns.
struct fixture {
    std::vector<std::vector<std::vector<double>>> segments;
    std::string path;
    std::uint64_t bad_line = 0;
    std::vector<std::uint64_t> first_lines;  // of every segment's first frame (0: none)

    fixture(const scan_case& c, std::mt19937_64& rng) {
        char name[] = "/tmp/lagstat_lag_scan_XXXXXX";
        const int fd = mkstemp(name);
        path = name;
        std::FILE* f = fdopen(fd, "w");
        std::uniform_real_distribution<double> value(-3.0, 3.0);
        std::uint64_t line = 0, frame = 0;
        auto put = [&](const std::string& text) {
            std::fputs(text.c_str(), f);
            ++line;
        };
        put("#! FIELDS a b\n");
        double time = 0.0;
        for (std::size_t s = 0; s < c.segment_lengths.size(); ++s) {
            if (s != 0) put("#! FIELDS a b restart " + std::to_string(s) + "\n");
            segments.emplace_back();
            first_lines.push_back(0);
            for (std::size_t k = 0; k < c.segment_lengths[s]; ++k, ++frame) {
                if (c.comments && rng() % 7 == 0) put("# a remark\n");
                if (static_cast<long>(frame) == c.bad_frame) {
                    put("1 2 x\n");
                    bad_line = line;
                    continue;
                }
                std::vector<double> x(c.columns);
                std::string text;
                char field[40];
                for (double& v : x) {
                    v = std::ldexp(value(rng), static_cast<int>(rng() % 9) - 4);
                    std::snprintf(field, sizeof field, "%.17g ", v);
                    text += field;
                }
                std::snprintf(field, sizeof field, "%.17g\n", time);
                time += 0.5;
                put(text + field);
                if (first_lines.back() == 0) first_lines.back() = line;
                segments.back().push_back(x);
            }
        }
        std::fclose(f);
    }
    ~fixture() { ::unlink(path.c_str()); }
};

// One compensated total as the literal loops keep it: a block's plain sum, folded into
// (hi, lo) by Knuth's two-sum at the block's end; the result hi + lo.
struct folded_sum {
    double hi = 0.0, lo = 0.0, block = 0.0;
    void fold() {
        const double s = hi + block;
        const double bb = s - hi;
        lo = lo + ((hi - (s - bb)) + (block - bb));
        hi = s;
        block = 0.0;
    }
    double total() const {
        const double s = hi + block;
        const double bb = s - hi;
        return s + (lo + ((hi - (s - bb)) + (block - bb)));
    }
};

// The literal loops: frame by frame, in order, every product rounded before its add, into
// blocks of stats::lag_block_frames frames by their index over the whole input (a pair in its
// later frame's block), each block folded at its end; a segment's tails at its end, in pieces of
// a block's length, oldest first, each folded.
stats::lag_sums literal_sums(const fixture& fx, const std::vector<std::size_t>& lags,
                             std::size_t n) {
    constexpr std::size_t B = stats::lag_block_frames;
    const std::size_t L = lags.size(), nn = n * n;
    std::vector<folded_sum> sum(n), cov(nn), tcov(L * nn), head_sum(L * n), tail_sum(L * n),
        head_cov(L * nn), tail_cov(L * nn);
    auto fold_all = [](std::vector<folded_sum>& v) {
        for (folded_sum& f : v) f.fold();
    };
    auto add_frame = [n](const std::vector<double>& y, folded_sum* s, folded_sum* c) {
        for (std::size_t i = 0; i < n; ++i) s[i].block += y[i];
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = i; j < n; ++j) c[i * n + j].block += y[i] * y[j];
    };
    stats::lag_sums r;
    r.pairs.assign(L, 0);
    const std::vector<double> s = fx.segments[0][0];
    for (const auto& segment : fx.segments) {
        std::vector<std::vector<double>> y;
        for (const auto& x : segment) {
            y.emplace_back(n);
            for (std::size_t i = 0; i < n; ++i) y.back()[i] = x[i] - s[i];
        }
        const std::size_t T = y.size();
        for (std::size_t t = 0; t < T; ++t) {
            add_frame(y[t], sum.data(), cov.data());
            for (std::size_t l = 0; l < L; ++l) {
                if (t >= lags[l]) {
                    ++r.pairs[l];
                    for (std::size_t i = 0; i < n; ++i)
                        for (std::size_t j = 0; j < n; ++j)
                            tcov[l * nn + i * n + j].block += y[t - lags[l]][i] * y[t][j];
                }
                if (t < lags[l]) add_frame(y[t], &head_sum[l * n], &head_cov[l * nn]);
            }
            if (++r.frames % B == 0)
                for (auto* v : {&sum, &cov, &tcov, &head_sum, &head_cov}) fold_all(*v);
        }
        for (std::size_t l = 0; l < L; ++l) {
            const std::size_t edge = std::min(lags[l], T);
            for (std::size_t t = T - edge, piece = 0; t < T; ++t) {
                add_frame(y[t], &tail_sum[l * n], &tail_cov[l * nn]);
                if (++piece % B == 0 || t + 1 == T)
                    for (auto* v : {&tail_sum, &tail_cov}) fold_all(*v);
            }
        }
    }
    auto totals = [](const std::vector<folded_sum>& v) {
        std::vector<double> out;
        for (const folded_sum& f : v) out.push_back(f.total());
        return out;
    };
    r.sum = totals(sum);
    r.cov = totals(cov);
    r.tcov = totals(tcov);
    r.head_sum = totals(head_sum);
    r.tail_sum = totals(tail_sum);
    r.head_cov = totals(head_cov);
    r.tail_cov = totals(tail_cov);
    // The lower triangles: the upper's, as the accumulator mirrors them.
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < i; ++j) {
            r.cov[i * n + j] = r.cov[j * n + i];
            for (std::size_t l = 0; l < L; ++l) {
                r.head_cov[l * nn + i * n + j] = r.head_cov[l * nn + j * n + i];
                r.tail_cov[l * nn + i * n + j] = r.tail_cov[l * nn + j * n + i];
            }
        }
    return r;
}

::testing::AssertionResult same_bits(const char* what, const std::vector<double>& want,
                                     const std::vector<double>& got) {
    if (want.size() == got.size() &&
        std::memcmp(want.data(), got.data(), want.size() * sizeof(double)) == 0)
        return ::testing::AssertionSuccess();
    for (std::size_t i = 0; i < std::min(want.size(), got.size()); ++i)
        if (std::memcmp(&want[i], &got[i], sizeof(double)) != 0)
            return ::testing::AssertionFailure() << what << "[" << i << "] want " << std::hexfloat
                                                 << want[i] << " got " << got[i];
    return ::testing::AssertionFailure() << what << ": sizes differ";
}

class lag_scan_vs_literal : public ::testing::TestWithParam<scan_case> {};

void expect_same_sums(const stats::lag_sums& want, const stats::lag_sums& got) {
    EXPECT_EQ(got.frames, want.frames);
    EXPECT_EQ(got.pairs, want.pairs);
    EXPECT_TRUE(same_bits("sum", want.sum, got.sum));
    EXPECT_TRUE(same_bits("cov", want.cov, got.cov));
    EXPECT_TRUE(same_bits("tcov", want.tcov, got.tcov));
    EXPECT_TRUE(same_bits("head_sum", want.head_sum, got.head_sum));
    EXPECT_TRUE(same_bits("tail_sum", want.tail_sum, got.tail_sum));
    EXPECT_TRUE(same_bits("head_cov", want.head_cov, got.head_cov));
    EXPECT_TRUE(same_bits("tail_cov", want.tail_cov, got.tail_cov));
}

TEST_P(lag_scan_vs_literal, counts_exact_and_sums_bit_for_bit) {
    const scan_case& c = GetParam();
    std::mt19937_64 rng(std::hash<std::string>{}(c.name));
    const fixture fx(c, rng);
    text::text_options options;
    options.comments = "#";
    text_input in;
    ASSERT_FALSE(in.open(fx.path.c_str(), nullptr, options));
    lag_scan_request request;
    request.lags = c.lags;
    request.columns = c.columns;
    request.segment_marker = "#! FIELDS";
    request.time_slot = static_cast<int>(c.columns);
    stats::lag_accumulator acc(c.columns, c.lags, c.threads);
    thread_team team(c.threads);
    lag_scan_result result;
    const pass_error e = scan_lags(in, request, acc, team, nullptr, result);
    if (c.bad_frame >= 0) {
        EXPECT_EQ(e.kind, failure::bad_line);
        EXPECT_EQ(e.line, fx.bad_line);
        return;
    }
    ASSERT_FALSE(e) << static_cast<int>(e.kind);
    expect_same_sums(literal_sums(fx, c.lags, c.columns), acc.sums());
    // Segments with frames, their sizes, markers and times (0.5 per frame, counted on through
    // the whole file).
    std::vector<std::uint64_t> sizes;
    double time = 0.0;
    for (std::size_t s = 0, k = 0; s < c.segment_lengths.size();
         time += 0.5 * c.segment_lengths[s], ++s) {
        if (c.segment_lengths[s] == 0) continue;
        ASSERT_LT(k, result.segments.size());
        const segment_info& seg = result.segments[k++];
        EXPECT_EQ(seg.frames, c.segment_lengths[s]);
        EXPECT_EQ(seg.first_line, fx.first_lines[s]);
        EXPECT_EQ(seg.after_marker, s != 0);
        if (s != 0) {
            EXPECT_EQ(seg.marker, "#! FIELDS a b restart " + std::to_string(s));
        }
        EXPECT_EQ(seg.first_time, time);
        EXPECT_EQ(seg.last_time, time + 0.5 * (c.segment_lengths[s] - 1));
    }
    if (c.segment_lengths[0] > 1) {
        EXPECT_EQ(result.dt, 0.5);
    } else {
        EXPECT_TRUE(std::isnan(result.dt));
    }
}

// The same frames handed over in memory, in blocks of random sizes (one frame to more than the
// scan's block), rows strided by one more value as a time column leaves them, each segment a
// trajectory: the file scan's bits, and a snapshot mid-way changes nothing that follows.
TEST_P(lag_scan_vs_literal, array_scan_in_any_blocks_same_bits) {
    const scan_case& c = GetParam();
    if (c.bad_frame >= 0) return;
    std::mt19937_64 rng(std::hash<std::string>{}(c.name));
    const fixture fx(c, rng);
    const std::size_t n = c.columns, stride = n + 1;
    array_scan scan(n, c.lags, {}, c.threads);
    thread_team team(c.threads);
    stats::lag_sums halfway;
    lag_scan_result result;
    std::uniform_int_distribution<std::size_t> size(1, 5000);
    for (const auto& segment : fx.segments) {
        std::vector<double> rows(segment.size() * stride, 7.0);
        for (std::size_t t = 0; t < segment.size(); ++t)
            std::copy(segment[t].begin(), segment[t].end(), rows.begin() + t * stride);
        for (std::size_t at = 0; at < segment.size();) {
            const std::size_t m = std::min(rng() % 3 == 0 ? 1 : size(rng), segment.size() - at);
            scan.add(rows.data() + at * stride, m, stride, 1, c.threads > 1 ? &team : nullptr);
            at += m;
            if (halfway.frames == 0 && scan.frames() * 2 >= fx.segments[0].size())
                halfway = scan.snapshot(result);
        }
        scan.end_trajectory(&team);
    }
    const stats::lag_sums want = literal_sums(fx, c.lags, n);
    expect_same_sums(want, scan.snapshot(result));
    expect_same_sums(want, scan.finish(result));
    std::size_t with_frames = 0;
    for (std::size_t len : c.segment_lengths) with_frames += len != 0;
    EXPECT_EQ(result.segments.size(), with_frames);
}

INSTANTIATE_TEST_SUITE_P(
    tables, lag_scan_vs_literal,
    ::testing::Values(
        scan_case{"one_segment", {300}, {1, 7, 3}, 3, 1, false},
        scan_case{"one_segment_threads", {300}, {1, 7, 3}, 3, 3, false},
        scan_case{"restarts_short_and_long", {40, 2, 130, 1, 9}, {1, 5, 64}, 4, 1, true},
        scan_case{"restarts_threads", {40, 2, 130, 1, 9}, {1, 5, 64}, 4, 2, true},
        scan_case{"empty_segment_between_markers", {10, 0, 0, 12}, {2, 11}, 2, 2, false},
        scan_case{"lag_beyond_every_segment", {5, 3, 4}, {8, 1}, 2, 1, false},
        scan_case{"wide_frames", {70, 50}, {1, 30}, 37, 2, false},
        scan_case{"lag_far_beyond_the_file", {50, 20}, {2, std::size_t{1} << 40}, 3, 2, false},
        // Several batches of several pieces each: markers and lag rings across their edges.
        scan_case{"many_batches", {30000, 45000, 7, 60000}, {1, 10, 100}, 5, 2, true},
        // Lags longer than a block of frames: pairs reach back through the ring over blocks.
        scan_case{
            "lags_beyond_a_block", {12000, 4100, 9500}, {9000, 1, 4095, 4096, 4097}, 2, 2, false},
        scan_case{"bad_line_after_markers", {20, 30, 40}, {3}, 2, 2, true, 61},
        // Segments ending just before, on and just after the summing blocks' edges, a lag of a
        // block's length and tails longer than one: the same folds at every thread count.
        scan_case{"block_edges_1", {1023, 1, 1025, 2047, 2}, {1, 1024, 1500}, 30, 1, false},
        scan_case{"block_edges_2", {1023, 1, 1025, 2047, 2}, {1, 1024, 1500}, 30, 2, false},
        scan_case{"block_edges_3", {1023, 1, 1025, 2047, 2}, {1, 1024, 1500}, 30, 3, false},
        scan_case{"block_edges_4", {1023, 1, 1025, 2047, 2}, {1, 1024, 1500}, 30, 4, false},
        scan_case{"block_edges_5", {1023, 1, 1025, 2047, 2}, {1, 1024, 1500}, 30, 5, false},
        scan_case{"block_edges_6", {1023, 1, 1025, 2047, 2}, {1, 1024, 1500}, 30, 6, false},
        scan_case{"block_edges_7", {1023, 1, 1025, 2047, 2}, {1, 1024, 1500}, 30, 7, false},
        scan_case{"block_edges_8", {1023, 1, 1025, 2047, 2}, {1, 1024, 1500}, 30, 8, false}),
    [](const auto& info) { return std::string(info.param.name); });

// Where the time is read from, given usecols and the time field as the companion passes them.
struct fields_case {
    const char* name;
    std::vector<long long> usecols;
    bool timed;
    long long time_field;
    long long line_fields;               // of the first data line
    std::vector<long long> opened_with;  // usecols the input is opened with
    std::size_t columns;                 // of the frame
    int time_slot;                       // -1: none; -2: refused
};

class scan_fields_table : public ::testing::TestWithParam<fields_case> {};

TEST_P(scan_fields_table, time_and_columns) {
    const fields_case& c = GetParam();
    text::text_options options;
    options.usecols = c.usecols;
    scan_fields f = plan_scan_fields(options, c.timed ? &c.time_field : nullptr);
    EXPECT_EQ(f.options.usecols, c.opened_with);
    const int reader_columns = c.opened_with.empty() ? static_cast<int>(c.line_fields)
                                                     : static_cast<int>(c.opened_with.size());
    const bool ok = resolve_scan_fields(f, reader_columns, c.line_fields);
    ASSERT_EQ(ok, c.time_slot != -2);
    if (!ok) return;
    EXPECT_EQ(f.columns, c.columns);
    EXPECT_EQ(f.time_slot, c.time_slot);
}

INSTANTIATE_TEST_SUITE_P(
    tables, scan_fields_table,
    ::testing::Values(
        fields_case{"no_time_every_field", {}, false, 0, 4, {}, 4, -1},
        fields_case{"no_time_usecols", {2, 0}, false, 0, 4, {2, 0}, 2, -1},
        fields_case{"time_first_field_in_the_frame", {}, true, 0, 4, {}, 4, 0},
        fields_case{"time_from_the_end", {}, true, -1, 4, {}, 4, 3},
        fields_case{"time_among_usecols", {3, 1, 2}, true, 1, 4, {3, 1, 2}, 3, 1},
        fields_case{"time_outside_usecols_read_after_them", {1, 2}, true, 0, 4, {1, 2, 0}, 2, 2},
        fields_case{"negative_time_outside_usecols", {0}, true, -1, 3, {0, -1}, 1, 1},
        fields_case{"time_beyond_the_line", {}, true, 4, 4, {}, 0, -2},
        fields_case{"time_before_the_line", {}, true, -5, 4, {}, 0, -2}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace lagstat::passes
