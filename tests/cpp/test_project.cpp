// project() and every implementation behind it against the literal sum; the output sink
// against real files and devices.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "output/output_sink.hpp"
#include "projection/project.hpp"


namespace {

using lagstat::output::output_sink;
using lagstat::projection::project;
using lagstat::projection::detail::project_fn;

// ---- project --------------------------------------------------------------------------------

void literal_project(const double* x, const double* w, std::size_t n, std::size_t max_proj,
                     double* y) {
    for (std::size_t i = 0; i < max_proj; ++i) {
        double s = 0.0;
        for (std::size_t k = 0; k < n; ++k) {
            const double product = x[k] * w[k * n + i];
            s += product;
        }
        y[i] = s;
    }
}

/// Memory whose end touches an inaccessible page, so reading or writing one element past the
/// end faults.
class guarded_doubles {
public:
    explicit guarded_doubles(std::size_t count) {
        page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        const std::size_t bytes = count * sizeof(double);
        data_pages_ = (bytes + page_ - 1) / page_;
        void* base = mmap(nullptr, (data_pages_ + 1) * page_, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) std::abort();
        base_ = static_cast<char*>(base);
        if (mprotect(base_ + data_pages_ * page_, page_, PROT_NONE) != 0) std::abort();
        data_ = reinterpret_cast<double*>(base_ + data_pages_ * page_ - bytes);
    }
    ~guarded_doubles() { munmap(base_, (data_pages_ + 1) * page_); }
    guarded_doubles(const guarded_doubles&) = delete;
    guarded_doubles& operator=(const guarded_doubles&) = delete;
    double* data() { return data_; }

private:
    std::size_t page_ = 0;
    std::size_t data_pages_ = 0;
    char* base_ = nullptr;
    double* data_ = nullptr;
};

struct project_impl {
    std::string name;
    project_fn fn;
};

std::vector<project_impl> implementations() {
    std::vector<project_impl> out = {{"dispatched", &project}};
    for (lagstat::cpu::isa set : lagstat::cpu::all_isas)
        if (lagstat::cpu::isa_supported(set))
            out.push_back({lagstat::cpu::isa_name(set), lagstat::projection::detail::project_for(set)});
    return out;
}

enum class fill { wide_magnitudes, cancelling, negative_zero_products };

double draw(std::mt19937_64& rng, fill kind) {
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    switch (kind) {
        case fill::wide_magnitudes:
            return std::ldexp(unit(rng), static_cast<int>(rng() % 61) - 30);
        case fill::cancelling:
            return std::ldexp(unit(rng), (rng() & 1) != 0 ? 27 : -27);
        case fill::negative_zero_products:
            return (rng() & 1) != 0 ? 0.0 : -0.0;
    }
    return 0.0;
}

/// Runs fn on a guarded w whose last row's used part ends at an inaccessible page, and a
/// guarded y of exactly max_proj doubles; compares with the literal sum bit for bit.
void expect_literal(const project_impl& impl, std::size_t n, std::size_t max_proj,
                    std::mt19937_64& rng, fill kind) {
    const std::size_t used =
        (n - 1) * n + max_proj;  // W's columns >= max_proj on the last row stay unread
    guarded_doubles w_store(used);
    guarded_doubles y_store(max_proj);
    double* const w = w_store.data();
    double* const y = y_store.data();
    std::vector<double> w_copy(n * n, std::nan(""));  // unread columns are NaN in the oracle's copy
    std::vector<double> x(n);
    for (auto& v : x)
        v = draw(rng, kind == fill::negative_zero_products ? fill::wide_magnitudes : kind);
    for (std::size_t k = 0; k < n; ++k) {
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t at = k * n + i;
            if (at >= used) continue;
            double v = draw(rng, kind);
            // Signs chosen so that every product in a column is -0.0 for the zero fill.
            if (kind == fill::negative_zero_products) v = std::copysign(0.0, -x[k]);
            w[at] = i < max_proj ? v : std::nan("");  // a read of an unused column shows
            if (i < max_proj) w_copy[at] = v;
        }
    }
    std::vector<double> want(max_proj);
    literal_project(x.data(), w_copy.data(), n, max_proj, want.data());
    impl.fn(x.data(), w, n, max_proj, y);
    for (std::size_t i = 0; i < max_proj; ++i) {
        if (std::memcmp(&y[i], &want[i], sizeof(double)) != 0) {
            ADD_FAILURE() << impl.name << " n=" << n << " max_proj=" << max_proj << " y[" << i
                          << "] = " << std::hexfloat << y[i] << ", literal sum " << want[i];
            return;
        }
    }
}

void PrintTo(fill kind, std::ostream* os) {
    *os << "fill " << static_cast<int>(kind);
}

class project_paths_test : public ::testing::TestWithParam<fill> {};

TEST_P(project_paths_test, equal_to_literal_sum_bit_for_bit) {
    std::mt19937_64 rng(static_cast<unsigned>(GetParam()) + 99);
    for (const auto& impl : implementations()) {
        SCOPED_TRACE(impl.name);
        for (std::size_t n = 1; n <= 70; ++n) {
            // Every width for the small sizes, random ones beyond.
            if (n <= 40) {
                for (std::size_t mp = 1; mp <= n; ++mp)
                    expect_literal(impl, n, mp, rng, GetParam());
            } else {
                for (int trial = 0; trial < 6; ++trial)
                    expect_literal(impl, n, 1 + rng() % n, rng, GetParam());
                expect_literal(impl, n, n, rng, GetParam());
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(fills, project_paths_test,
                         ::testing::Values(fill::wide_magnitudes, fill::cancelling,
                                           fill::negative_zero_products),
                         [](const auto& info) {
                             switch (info.param) {
                                 case fill::wide_magnitudes:
                                     return "wide_magnitudes";
                                 case fill::cancelling:
                                     return "cancelling";
                                 case fill::negative_zero_products:
                                     return "negative_zero_products";
                             }
                             return "unknown";
                         });

// ---- output_sink ----------------------------------------------------------------------------

std::string temp_dir() {
    const char* t = std::getenv("TMPDIR");
    std::string base = (t != nullptr && *t != '\0') ? t : "/tmp";
    std::string templ = base + "/lagstat_sink_XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) std::abort();
    return templ;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

/// Writes chunks of the given sizes (buffered below a quarter of the buffer, straight through
/// above); returns what was written and whether every write succeeded.
std::pair<std::string, bool> write_chunks(output_sink& sink,
                                          const std::vector<std::size_t>& sizes) {
    std::string written;
    for (std::size_t c = 0; c < sizes.size(); ++c) {
        std::string chunk(sizes[c], ' ');
        for (std::size_t i = 0; i < sizes[c]; ++i) chunk[i] = static_cast<char>('a' + (c + i) % 26);
        if (!sink.write(chunk.data(), chunk.size())) return {written, false};
        written += chunk;
    }
    return {written, true};
}

struct sink_case {
    const char* name;
    const char* target;  // "" : a file in a fresh directory; "@missing": a path in a missing one
    std::size_t buffer_size;
    std::vector<std::size_t> chunks;
    int open_error;   // expected from open()
    int write_error;  // expected from write/close (0: success)
};

void PrintTo(const sink_case& c, std::ostream* os) {
    *os << c.name;
}

class output_sink_table : public ::testing::TestWithParam<sink_case> {};

TEST_P(output_sink_table, reports_what_happened) {
    const sink_case& c = GetParam();
    const std::string dir = temp_dir();
    std::string path = c.target;
    if (path.empty()) path = dir + "/out.txt";
    if (path == "@missing") path = dir + "/no_such_dir/out.txt";
    const bool regular = std::string(c.target).empty();
    if (regular) {
        std::ofstream old(path);
        old << std::string(5000, 'z');  // longer than what is written: must be truncated away
    }

    output_sink sink;
    EXPECT_EQ(sink.open(path.c_str(), c.buffer_size), c.open_error);
    const auto [written, all_reserved] = write_chunks(sink, c.chunks);
    const bool closed = sink.close();

    if (c.open_error != 0) {
        EXPECT_FALSE(all_reserved && !c.chunks.empty());
        EXPECT_FALSE(closed);
        EXPECT_EQ(sink.error_number(), c.open_error);
    } else if (c.write_error != 0) {
        EXPECT_FALSE(closed);
        EXPECT_EQ(sink.error_number(), c.write_error);
        // Once failed, the sink refuses further work with the first error kept.
        EXPECT_FALSE(sink.write("x", 1));
        EXPECT_EQ(sink.error_number(), c.write_error);
    } else {
        EXPECT_TRUE(all_reserved);
        EXPECT_TRUE(closed) << std::strerror(sink.error_number());
        EXPECT_EQ(sink.error_number(), 0);
        EXPECT_EQ(read_file(path), written);
    }
    if (regular) std::remove(path.c_str());
    rmdir(dir.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    cases, output_sink_table,
    ::testing::Values(
        sink_case{"small_writes_through_tiny_buffer", "", 7, {1, 2, 3, 5, 7, 3, 1, 6}, 0, 0},
        sink_case{"chunk_larger_than_buffer", "", 8, {3, 50, 2, 9, 1}, 0, 0},
        sink_case{"nothing_written_truncates", "", 64, {}, 0, 0},
        sink_case{"default_buffer_many_lines", "", output_sink::default_buffer_size,
                  std::vector<std::size_t>(20000, 37), 0, 0},
        sink_case{"device_full_small", "/dev/full", 64, {10}, 0, ENOSPC},
        sink_case{"device_full_overflowing_buffer", "/dev/full", 16, {10, 10, 10, 10}, 0, ENOSPC},
        sink_case{"missing_directory", "@missing", 64, {4}, ENOENT, 0},
        sink_case{"directory_as_file", "/", 64, {4}, EISDIR, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(output_sink_test, full_device_fails_at_the_flush_that_overflows) {
    output_sink sink;
    ASSERT_EQ(sink.open("/dev/full", 16), 0);
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(sink.write("abcd", 4));  // fits: nothing written yet
    EXPECT_FALSE(sink.write("x", 1));                                // needs a flush, which fails
    EXPECT_EQ(sink.error_number(), ENOSPC);
    EXPECT_FALSE(sink.flush());
    EXPECT_FALSE(sink.close());
    EXPECT_EQ(sink.error_number(), ENOSPC);
}

TEST(output_sink_test, destruction_keeps_what_was_written) {
    // A pass that fails midway drops its sink without close(): the lines before stay.
    const std::string dir = temp_dir();
    const std::string path = dir + "/partial.txt";
    std::string written;
    {
        output_sink sink;
        ASSERT_EQ(sink.open(path.c_str(), 64), 0);
        written = write_chunks(sink, {9, 9, 9}).first;
        EXPECT_EQ(sink.open(path.c_str()), EBUSY);  // refused: the pending bytes would be lost
    }
    EXPECT_EQ(read_file(path), written);
    std::remove(path.c_str());
    rmdir(dir.c_str());
}

TEST(output_sink_test, reopens_after_close) {
    const std::string dir = temp_dir();
    const std::string first = dir + "/a.txt";
    const std::string second = dir + "/b.txt";
    output_sink sink;
    ASSERT_EQ(sink.open("/dev/full", 8), 0);
    write_chunks(sink, {4});
    EXPECT_FALSE(sink.close());
    ASSERT_EQ(sink.open(first.c_str(), 8), 0);  // a fresh start: the old error is gone
    EXPECT_EQ(sink.error_number(), 0);
    const std::string a = write_chunks(sink, {5, 6}).first;
    EXPECT_TRUE(sink.close());
    ASSERT_EQ(sink.open(second.c_str(), 8), 0);
    const std::string b = write_chunks(sink, {3}).first;
    EXPECT_TRUE(sink.close());
    EXPECT_EQ(read_file(first), a);
    EXPECT_EQ(read_file(second), b);
    std::remove(first.c_str());
    std::remove(second.c_str());
    rmdir(dir.c_str());
}

TEST(output_sink_test, interrupted_and_short_writes_lose_nothing) {
    // A pipe drained slowly while a timer signal without SA_RESTART keeps interrupting the
    // writer: write(2) returns EINTR or a short count, and every byte must still arrive in order.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);

    std::string received;
    std::thread reader([&] {
        sigset_t block;
        sigemptyset(&block);
        sigaddset(&block, SIGALRM);
        pthread_sigmask(SIG_BLOCK, &block, nullptr);
        char chunk[4096];
        for (;;) {
            const ssize_t got = read(fds[0], chunk, sizeof chunk);
            if (got <= 0) break;
            received.append(chunk, static_cast<std::size_t>(got));
            usleep(20);
        }
    });

    const itimerval every_200us{{0, 200}, {0, 200}};
    const itimerval stop{};
    setitimer(ITIMER_REAL, &every_200us, nullptr);
    output_sink sink;
    const std::string path = "/proc/self/fd/" + std::to_string(fds[1]);
    ASSERT_EQ(sink.open(path.c_str(), std::size_t{1} << 20), 0);
    const std::string written =
        write_chunks(sink, std::vector<std::size_t>(400, 10007)).first;  // ~4 MB
    const bool closed = sink.close();
    setitimer(ITIMER_REAL, &stop, nullptr);
    close(fds[1]);
    reader.join();
    close(fds[0]);
    sigaction(SIGALRM, &previous, nullptr);

    EXPECT_TRUE(closed) << std::strerror(sink.error_number());
    EXPECT_EQ(received.size(), written.size());
    EXPECT_TRUE(received == written);
}

TEST(output_sink_test, unopened_sink_refuses) {
    output_sink sink;
    EXPECT_FALSE(sink.write("x", 1));
    EXPECT_FALSE(sink.flush());
    EXPECT_FALSE(sink.close());
    EXPECT_NE(sink.error_number(), 0);
}

}  // namespace
