// Both passes on a team of threads against the literal reader and kernels, on random inputs: for
// every thread count, piece size, reader buffer and source (a regular file read by ranges, a pipe,
// bytes in memory, a source that fails), the same sums, frames, output text and failure, bit for
// bit, as one reader going line by line and the per-frame kernels give.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "passes/frame_batches.hpp"
#include "passes/moment_pass.hpp"
#include "passes/projection_pass.hpp"
#include "reference/reference_kernels.hpp"
#include "reference/reference_npy.hpp"
#include "reference/reference_reader.hpp"
#include "source/byte_source.hpp"
#include "stats/moments.hpp"

#if defined(LAGSTAT_TEST_WRAPS_IO)
// A disk that fails part way through a regular file, as a bad sector does: reads of the armed
// descriptor stop short before byte failing_at, and a read from there on fails with EIO. The
// test binary is linked with --wrap, so that the passes' read and pread come here first.
static std::atomic<int> failing_fd{-1};
static std::atomic<long long> failing_at{0};
extern "C" ssize_t __real_read(int fd, void* buf, std::size_t n);
extern "C" ssize_t __real_pread(int fd, void* buf, std::size_t n, off_t at);
static bool failing_read(int fd, off_t at, std::size_t& n) {
    if (fd < 0 || fd != failing_fd.load()) return false;
    const long long bad = failing_at.load();
    if (at >= bad) return true;
    n = std::min<std::size_t>(n, static_cast<std::size_t>(bad - at));
    return false;
}
extern "C" ssize_t __wrap_read(int fd, void* buf, std::size_t n) {
    if (fd >= 0 && fd == failing_fd.load() && failing_read(fd, ::lseek(fd, 0, SEEK_CUR), n)) {
        errno = EIO;
        return -1;
    }
    return __real_read(fd, buf, n);
}
extern "C" ssize_t __wrap_pread(int fd, void* buf, std::size_t n, off_t at) {
    if (failing_read(fd, at, n)) {
        errno = EIO;
        return -1;
    }
    return __real_pread(fd, buf, n, at);
}
#endif

namespace lagstat::passes {
namespace {

namespace ref = lagstat::reference;
using text::error_kind;

// ---- inputs ---------------------------------------------------------------------------------

/// failing_file: a regular file on a disk that fails at fail_at (a bad sector).
enum class source_kind { file, pipe, memory, failing, failing_file };
enum class fault { none, bad_token, field_count, long_field, blank_line, read_error, short_data };
/// Text, or the same numbers as a .npy file's array in C or Fortran order (random dtype, byte
/// order, format version, rank and usecols).
enum class input_form { text, npy_c, npy_f };

const char* name_of(source_kind k) {
    static const char* names[] = {"file", "pipe", "memory", "failing", "failing_file"};
    return names[static_cast<int>(k)];
}

/// Bytes from memory up to fail_at, then EIO: a disk that fails part way.
class failing_source final : public source::byte_source {
public:
    failing_source(const std::string& text, std::size_t fail_at, std::size_t chunk)
        : text_(text), fail_at_(fail_at), chunk_(chunk) {}
    long read(char* buf, std::size_t cap) override {
        if (pos_ >= fail_at_) {
            error_number_ = EIO;
            return -1;
        }
        const std::size_t n = std::min({cap, chunk_, fail_at_ - pos_});
        std::memcpy(buf, text_.data() + pos_, n);
        pos_ += n;
        return static_cast<long>(n);
    }

private:
    const std::string& text_;
    std::size_t fail_at_, chunk_, pos_ = 0;
};

/// One random trajectory and what goes wrong in it.
struct trial {
    std::string text;
    std::size_t columns = 0;
    std::size_t fail_at = 0;  // failing source: bytes handed out before the error
    std::size_t chunk = 0;    // bytes per read of memory, pipe and failing sources
    std::size_t reader_buffer = 0, piece_bytes = 0;
    std::string describe;
    // A .npy trial: the bytes the sources give are the file's, and what a reader going line by
    // line must make of them is the text of the same numbers (whole rows before a cut).
    text::text_options options;
    std::string literal_text;
    bool npy_cut = false;
};

std::size_t log_uniform(std::mt19937_64& rng, std::size_t most) {
    const double e = std::uniform_real_distribution<double>(0.0, std::log(double(most)))(rng);
    return std::max<std::size_t>(1, static_cast<std::size_t>(std::exp(e)));
}

trial make_trial(std::mt19937_64& rng, fault f, source_kind source, std::size_t most_columns) {
    trial t;
    t.columns = 1 + rng() % most_columns;
    const std::size_t frames = 1 + log_uniform(rng, 600);
    const char* formats[] = {"%.6f", "%.17g", "%.3e", "%g"};
    const char* separators[] = {" ", ",", "\t", "  ", ", "};
    const char* format = formats[rng() % 4];
    const char* separator = separators[rng() % 5];
    std::uniform_real_distribution<double> noise(-4.0, 4.0);
    std::vector<std::vector<std::string>> lines(frames, std::vector<std::string>(t.columns));
    char field[64];
    for (auto& line : lines) {
        for (std::size_t i = 0; i < t.columns; ++i) {
            std::snprintf(field, sizeof field, format, 2.5 * double(i) - 7.0 + noise(rng));
            line[i] = field;
        }
    }
    // The fault stands on a line after the first (which fixes the width), or nowhere when
    // there is none; a blank line has data after it, which must be dropped, garbage included.
    const std::size_t at = frames > 1 ? 1 + rng() % (frames - 1) : frames;
    std::size_t column = rng() % t.columns;
    if (at < frames) {
        std::string& victim = lines[at][column];
        switch (f) {
            case fault::bad_token:
                victim.insert(rng() % (victim.size() + 1), 1, "xq#!/;:"[rng() % 7]);
                break;
            case fault::field_count:
                if (t.columns > 1 && (rng() & 1))
                    lines[at].erase(lines[at].begin() + long(column));
                else
                    lines[at].push_back("1.5");
                break;
            case fault::long_field:
                victim = std::string(257 + rng() % 5, '1');
                break;
            case fault::blank_line:
                lines[at].clear();
                if (at + 1 < frames) lines[at + 1][0] = "garbage";
                break;
            default:
                break;
        }
    }
    for (const auto& line : lines) {
        for (std::size_t i = 0; i < line.size(); ++i) {
            t.text += line[i];
            if (i + 1 < line.size()) t.text += separator;
        }
        t.text += '\n';
    }
    if (rng() % 4 == 0) t.text.pop_back();  // a last line without its '\n'
    const std::size_t first_line = t.text.find('\n') + 1;
    t.fail_at = first_line + rng() % (t.text.size() - std::min(first_line, t.text.size()) + 1);
    if (source != source_kind::failing && source != source_kind::failing_file)
        t.fail_at = t.text.size();
    t.chunk = log_uniform(rng, 70000);
    t.reader_buffer = 1 + log_uniform(rng, 8192);
    t.piece_bytes = log_uniform(rng, 16384);
    t.describe = std::string(name_of(source)) + " columns=" + std::to_string(t.columns) +
                 " frames=" + std::to_string(frames) + " fault line " + std::to_string(at + 1) +
                 " fail_at=" + std::to_string(t.fail_at) + "/" + std::to_string(t.text.size()) +
                 " chunk=" + std::to_string(t.chunk) +
                 " reader_buffer=" + std::to_string(t.reader_buffer) +
                 " piece_bytes=" + std::to_string(t.piece_bytes);
    return t;
}

// ---- .npy inputs: a literal encoder and decoder, byte by byte ------------------------------

struct npy_dtype {
    char code;  // f, i, u
    unsigned size;
    bool big;
};

const unsigned char* bytes_of(const char* p) {
    return reinterpret_cast<const unsigned char*>(p);
}

double decode_literally(const npy_dtype& d, const char* p) {
    return lagstat::reference::npy_element(d.code, d.size, d.big, bytes_of(p));
}

/// The element's value as exact text: its integer digits, or a double's round trip.
std::string text_literally(const npy_dtype& d, const char* p) {
    const std::uint64_t bits = lagstat::reference::npy_element_bits(d.size, d.big, bytes_of(p));
    if (d.code == 'u') return std::to_string(bits);
    if (d.code == 'i') return std::to_string(lagstat::reference::npy_signed(bits, d.size));
    char field[40];
    std::snprintf(field, sizeof field, "%.17g", decode_literally(d, p));
    return field;
}

trial make_npy_trial(std::mt19937_64& rng, fault f, source_kind source, input_form form) {
    trial t;
    static const npy_dtype dtypes[] = {
        {'f', 8, false}, {'f', 8, true},  {'f', 4, false}, {'f', 4, true},  {'i', 1, false},
        {'u', 1, false}, {'i', 2, true},  {'u', 2, false}, {'i', 4, false}, {'i', 4, true},
        {'u', 4, true},  {'i', 8, false}, {'i', 8, true},  {'u', 8, false}};
    const npy_dtype d = dtypes[rng() % (sizeof dtypes / sizeof dtypes[0])];
    const std::size_t m = 1 + rng() % 40, rows = 1 + log_uniform(rng, 600);
    const bool one_d = m == 1 && (rng() & 1), fortran = form == input_form::npy_f;
    const unsigned version = 1 + unsigned(rng() % 3);
    // The elements, row by row: any bits of an integer, a float of the text trials' kind.
    std::uniform_real_distribution<double> noise(-4.0, 4.0);
    std::vector<std::string> cells(rows * m);
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t c = 0; c < m; ++c) {
            std::uint64_t bits = rng();
            if (d.code == 'f') {
                const double v = std::ldexp(noise(rng), int(rng() % 41) - 20);
                if (d.size == 8) {
                    std::memcpy(&bits, &v, 8);
                } else {
                    const float x = float(v);
                    std::uint32_t b32;
                    std::memcpy(&b32, &x, 4);
                    bits = b32;
                }
            }
            std::string& cell = cells[r * m + c];
            for (unsigned b = 0; b < d.size; ++b) {
                const unsigned byte = d.big ? d.size - 1 - b : b;
                cell += char((bits >> (8 * byte)) & 0xff);
            }
        }
    }
    char descr[8];
    std::snprintf(descr, sizeof descr, "%c%c%u",
                  d.size == 1 ? '|'
                  : d.big     ? '>'
                              : '<',
                  d.code, d.size);
    std::string header = std::string("{'descr': '") + descr +
                         "', 'fortran_order': " + (fortran ? "True" : "False") + ", 'shape': (" +
                         std::to_string(rows) +
                         (one_d ? ",), }" : ", " + std::to_string(m) + "), }");
    const std::size_t fixed = version == 1 ? 10 : 12;
    while ((fixed + header.size() + 1) % 64 != 0) header += ' ';
    header += '\n';
    t.text = std::string("\x93NUMPY", 6) + char(version) + '\0';
    for (unsigned b = 0; b < (version == 1 ? 2u : 4u); ++b)
        t.text += char((header.size() >> (8 * b)) & 0xff);
    t.text += header;
    const std::size_t data_at = t.text.size(), row_bytes = m * d.size;
    for (std::size_t i = 0; i < rows * m; ++i)
        t.text += fortran ? cells[(i % rows) * m + i / rows] : cells[i];

    // usecols at random, negative ones too.
    std::vector<std::size_t> pick(m);
    for (std::size_t c = 0; c < m; ++c) pick[c] = c;
    if (rng() % 3 == 0) {
        std::shuffle(pick.begin(), pick.end(), rng);
        pick.resize(1 + rng() % m);
        for (std::size_t c : pick)
            t.options.usecols.push_back(rng() & 1 ? (long long)c : (long long)c - (long long)m);
    }
    t.columns = pick.size();
    // A cut (a failing source, or data ending early) after the first row: the rows before it.
    std::size_t whole = rows;
    if (f == fault::read_error || f == fault::short_data) {
        const std::size_t cut = data_at + row_bytes + rng() % (rows * row_bytes - row_bytes + 1);
        whole = (cut - data_at) / row_bytes;
        t.npy_cut = cut < t.text.size();
        if (f == fault::short_data) t.text.resize(cut);
        t.fail_at = cut;
    }
    if (source != source_kind::failing && source != source_kind::failing_file)
        t.fail_at = t.text.size();
    for (std::size_t r = 0; r < whole; ++r) {
        for (std::size_t j = 0; j < pick.size(); ++j) {
            const char* cell = cells[r * m + pick[j]].data();
            // The literal decoder and the text of the same element must agree first.
            const double v = decode_literally(d, cell);
            EXPECT_TRUE(std::strtod(text_literally(d, cell).c_str(), nullptr) == v);
            t.literal_text += text_literally(d, cell);
            t.literal_text += j + 1 < pick.size() ? " " : "\n";
        }
    }
    t.chunk = log_uniform(rng, 70000);
    t.reader_buffer = 1 + log_uniform(rng, 8192);
    t.piece_bytes = log_uniform(rng, 16384);
    t.describe = std::string(name_of(source)) + " npy " + descr + (fortran ? " F" : " C") + " v" +
                 std::to_string(version) + " shape " + std::to_string(rows) + "x" +
                 std::to_string(m) + (one_d ? " (1-d)" : "") + " columns " +
                 std::to_string(t.columns) + " whole rows " + std::to_string(whole) +
                 " fail_at=" + std::to_string(t.fail_at) + "/" + std::to_string(t.text.size()) +
                 " chunk=" + std::to_string(t.chunk) +
                 " reader_buffer=" + std::to_string(t.reader_buffer) +
                 " piece_bytes=" + std::to_string(t.piece_bytes);
    return t;
}

/// What one reader going line by line makes of a trial: its frames and how it stops.
struct expected {
    std::vector<std::vector<double>> frames;
    failure kind = failure::none;
    error_kind reason = error_kind::none;
    std::uint64_t line = 0;
};

expected read_literally(const trial& t) {
    // A failing source hands out whole lines before its error, then fails.
    const bool npy = !t.literal_text.empty();
    std::string text = npy ? t.literal_text : t.text.substr(0, t.fail_at);
    const bool fails = !npy && t.fail_at < t.text.size();
    if (fails) text.erase(text.rfind('\n') + 1);
    expected e;
    std::FILE* f = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    ref::option_reader reader(f, {});
    std::vector<double> record;
    for (;;) {
        const int r = reader.read(record);
        if (r > 0) {
            e.frames.push_back(record);
            continue;
        }
        if (r < 0) {
            e.kind = failure::bad_line;
            e.reason = reader.error();
            e.line = reader.line_number();
        } else if (fails && std::feof(f)) {
            e.kind = failure::read_error;  // the end of the bytes, not a blank line
        }
        break;
    }
    std::fclose(f);
    if (t.npy_cut) e.kind = failure::read_error;  // the rows before the cut, then EIO
    return e;
}

/// An open input over the trial's bytes through the source kind; for a pipe, the writer thread
/// (joined by the destructor, after the input has closed the pipe's reading end).
struct opened {
    text_input in;
    std::thread writer;
    ~opened() {
#if defined(LAGSTAT_TEST_WRAPS_IO)
        failing_fd = -1;
#endif
        in = text_input{};
        if (writer.joinable()) writer.join();
    }
};

void open_trial(opened& o, const trial& t, source_kind kind, const std::string& path) {
    std::unique_ptr<source::byte_source> src;
    switch (kind) {
        case source_kind::file:
            src.reset(new source::fd_source(::open(path.c_str(), O_RDONLY | O_CLOEXEC)));
            break;
        case source_kind::pipe: {
            int fds[2];
            ASSERT_EQ(::pipe(fds), 0);
            src.reset(new source::fd_source(fds[0]));
            o.writer = std::thread([fds, &t] {
                for (std::size_t at = 0; at < t.text.size();) {
                    const ssize_t n =
                        ::write(fds[1], t.text.data() + at, std::min(t.chunk, t.text.size() - at));
                    if (n <= 0) break;  // the pass stopped reading (EPIPE)
                    at += static_cast<std::size_t>(n);
                }
                ::close(fds[1]);
            });
            break;
        }
        case source_kind::memory:
            src.reset(new source::memory_source(t.text.data(), t.text.size(), t.chunk));
            break;
        case source_kind::failing:
            src.reset(new failing_source(t.text, t.fail_at, t.chunk));
            break;
        case source_kind::failing_file: {
            const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
#if defined(LAGSTAT_TEST_WRAPS_IO)
            failing_at = static_cast<long long>(t.fail_at);
            failing_fd = fd;
#endif
            src.reset(new source::fd_source(fd));
            break;
        }
    }
    const pass_error e = o.in.open_source(std::move(src), t.options, t.reader_buffer);
    ASSERT_FALSE(e) << "opening failed: kind " << int(e.kind);
    ASSERT_EQ(o.in.columns(), static_cast<int>(t.columns));
}

::testing::AssertionResult same_failure(const expected& want, const pass_error& got) {
    if (want.kind == got.kind && want.reason == got.reason && want.line == got.line &&
        (got.kind != failure::read_error || got.err == EIO))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "failure kind " << int(got.kind) << " reason " << int(got.reason) << " line "
           << got.line << " err " << got.err << ", literal reader: kind " << int(want.kind)
           << " reason " << int(want.reason) << " line " << want.line;
}

::testing::AssertionResult same_bits(const char* what, const std::vector<double>& want,
                                     const std::vector<double>& got) {
    for (std::size_t i = 0; i < want.size(); ++i) {
        if (std::memcmp(&want[i], &got[i], sizeof(double)) != 0)
            return ::testing::AssertionFailure() << what << "[" << i << "]: want " << std::hexfloat
                                                 << want[i] << " got " << got[i];
    }
    return ::testing::AssertionSuccess();
}

std::vector<double> random_values(std::mt19937_64& rng, std::size_t count) {
    std::uniform_real_distribution<double> v(-3.0, 3.0);
    std::vector<double> out(count);
    for (double& x : out) x = std::ldexp(v(rng), int(rng() % 21) - 10);
    return out;
}

const char* name_of(fault f) {
    static const char* names[] = {"none",       "bad_token",  "field_count", "long_field",
                                  "blank_line", "read_error", "short_data"};
    return names[static_cast<int>(f)];
}

const char* name_of(input_form f) {
    static const char* names[] = {"", "_npy_c", "_npy_f"};
    return names[static_cast<int>(f)];
}

struct sums {
    std::vector<double> mean, var, cov, tcov;
    double pairs;
};

// ---- the table ------------------------------------------------------------------------------

struct pass_case {
    source_kind source;
    fault what;
    std::uint64_t seed;
    int trials;
    input_form form = input_form::text;
    // Frames narrow enough for one part of the sums, which take each piece as it is parsed.
    std::size_t most_columns = 70;
};

class threaded_passes : public ::testing::TestWithParam<pass_case> {
protected:
    static void SetUpTestSuite() { ::signal(SIGPIPE, SIG_IGN); }  // a pipe's writer left alone
};

TEST_P(threaded_passes, match_the_literal_reader_and_kernels_for_every_thread_count) {
    const pass_case& c = GetParam();
#if !defined(LAGSTAT_TEST_WRAPS_IO)
    if (c.source == source_kind::failing_file) GTEST_SKIP() << "needs the linker's --wrap";
#endif
    char dir_template[] = "/tmp/lagstat_passes_XXXXXX";
    ASSERT_NE(::mkdtemp(dir_template), nullptr);
    const std::string dir = dir_template, path = dir + "/in.txt", out_path = dir + "/out.txt";
    for (int k = 0; k < c.trials && !HasFailure(); ++k) {
        const std::uint64_t seed = c.seed * 1000 + std::uint64_t(k);
        std::mt19937_64 rng(seed);
        const trial t = c.form == input_form::text
                            ? make_trial(rng, c.what, c.source, c.most_columns)
                            : make_npy_trial(rng, c.what, c.source, c.form);
        SCOPED_TRACE("seed " + std::to_string(seed) + ": " + t.describe);
        if (c.source == source_kind::file || c.source == source_kind::failing_file)
            std::ofstream(path, std::ios::binary) << t.text;
        const expected want = read_literally(t);
        const std::size_t n = t.columns;

        // The moment pass: pass 1 or pass 2 at random, onto sums of earlier passes.
        const bool first_pass = rng() & 1;
        const bool var = rng() & 1, cov = rng() & 1, tcov = !first_pass && (rng() % 3 != 0);
        const std::size_t lag = log_uniform(rng, want.frames.size() + 3);
        const std::size_t block = std::vector<std::size_t>{1, 2, 3, 7, 64, 128}[rng() % 6];
        const bool frame_by_frame = rng() % 5 == 0;
        const sums start{random_values(rng, n), random_values(rng, n), random_values(rng, n * n),
                         random_values(rng, n * n), double(rng() % 100)};
        sums literal = start;
        std::vector<double> ring(n * lag, 0.0), x;
        for (std::size_t f = 0; f < want.frames.size(); ++f) {
            x = want.frames[f];
            if (first_pass) {
                ref::add_sum(x.data(), literal.mean.data(), n);
                continue;
            }
            for (std::size_t i = 0; i < n; ++i) x[i] = x[i] - literal.mean[i];
            if (var) ref::add_squares(x.data(), literal.var.data(), n);
            if (cov) ref::add_outer_upper(x.data(), literal.cov.data(), n);
            if (tcov)
                ref::add_lagged_outer(x.data(), literal.tcov.data(), &literal.pairs, n, f,
                                      ring.data(), lag);
        }
        // The projection pass: mean, weights, and a time column at random.
        const bool time_column = n > 1 && (rng() & 1);
        const std::size_t m = n - (time_column ? 1 : 0), max_proj = 1 + rng() % m;
        const std::vector<double> centre = random_values(rng, m),
                                  weights = random_values(rng, m * m);
        std::string want_text;
        {
            char field[400];
            for (const auto& frame : want.frames) {
                for (std::size_t i = 0; i < max_proj; ++i) {
                    double y = 0.0;
                    for (std::size_t j = 0; j < m; ++j) {
                        const double product =
                            (frame[j + (time_column ? 1 : 0)] - centre[j]) * weights[j * m + i];
                        y = y + product;
                    }
                    std::snprintf(field, sizeof field, i + 1 < max_proj ? "%f " : "%f\n", y);
                    want_text += field;
                }
            }
        }

        for (std::size_t threads = 1; threads <= 8 && !HasFailure(); ++threads) {
            SCOPED_TRACE("threads " + std::to_string(threads) +
                         (first_pass ? " pass 1" : " pass 2") + " lag " + std::to_string(lag) +
                         " block " + std::to_string(block) +
                         (frame_by_frame ? " frame by frame" : ""));
            sums got = start;
            stats::moment_targets tg;
            tg.mean = got.mean.data();
            tg.add_mean = first_pass;
            tg.var = var && !first_pass ? got.var.data() : nullptr;
            tg.cov = cov && !first_pass ? got.cov.data() : nullptr;
            tg.tcov = tcov ? got.tcov.data() : nullptr;
            tg.tcov_pairs = &got.pairs;
            tg.lag = lag;
            stats::moment_accumulator acc(n, tg, frame_by_frame ? 1 : threads);
            pass_error e;
            {
                opened o;
                open_trial(o, t, c.source, path);
                if (HasFailure()) return;
                thread_team team(threads);
                e = accumulate_moments(o.in, acc, team, nullptr, frame_by_frame, t.piece_bytes);
            }
            EXPECT_TRUE(same_failure(want, e)) << "moment pass";
            EXPECT_EQ(acc.frames(), want.frames.size()) << "moment pass";
            EXPECT_TRUE(same_bits("mean", literal.mean, got.mean));
            EXPECT_TRUE(same_bits("var", literal.var, got.var));
            EXPECT_TRUE(same_bits("cov", literal.cov, got.cov));
            EXPECT_TRUE(same_bits("tcov", literal.tcov, got.tcov));
            EXPECT_TRUE(same_bits("pairs", {literal.pairs}, {got.pairs}));

            // The frames sink on its own: every frame handed out, in frame order, never two
            // calls at once, none after a failure; a .npy input takes none.
            {
                opened o;
                open_trial(o, t, c.source, path);
                if (HasFailure()) return;
                thread_team team(threads);
                frame_batches batches(o.in, team, nullptr, nullptr, t.piece_bytes);
                std::vector<double> sunk;
                std::atomic<int> inside{0};
                bool overlapped = false;
                const bool taken = batches.set_frames_sink([&](const double* f, std::size_t k) {
                    overlapped |= inside.fetch_add(1) != 0;
                    for (std::size_t r = 0; r < k; ++r)
                        sunk.insert(sunk.end(), f + r * batches.stride(),
                                    f + r * batches.stride() + n);
                    inside.fetch_sub(1);
                });
                EXPECT_EQ(taken, c.form == input_form::text);
                while (batches.next()) {
                }
                if (taken) {
                    std::vector<double> flat;
                    for (const auto& frame : want.frames)
                        flat.insert(flat.end(), frame.begin(), frame.end());
                    EXPECT_FALSE(overlapped) << "two sink calls at once";
                    EXPECT_EQ(sunk.size(), flat.size()) << "frames sunk";
                    sunk.resize(flat.size());
                    EXPECT_TRUE(same_bits("sunk frames", flat, sunk));
                }
            }

            projection_job job{};
            const bool on_disk =
                c.source == source_kind::file || c.source == source_kind::failing_file;
            job.input_path = on_disk ? path.c_str() : "/nonexistent/in";
            job.output_path = out_path.c_str();
            job.mean = centre.data();
            job.weights = weights.data();
            job.n = m;
            job.max_proj = max_proj;
            job.time_column = time_column;
            std::uint64_t written = 0;
            {
                opened o;
                open_trial(o, t, c.source, path);
                if (HasFailure()) return;
                thread_team team(threads);
                e = project_frames(o.in, job, team, &written, t.piece_bytes);
            }
            EXPECT_TRUE(same_failure(want, e)) << "projection pass";
            EXPECT_EQ(written, want.frames.size()) << "projection pass";
            std::ostringstream got_text;
            got_text << std::ifstream(out_path, std::ios::binary).rdbuf();
            EXPECT_TRUE(got_text.str() == want_text)
                << "projection output differs: " << got_text.str().size() << " bytes against "
                << want_text.size();
        }
    }
    std::remove(path.c_str());
    std::remove(out_path.c_str());
    ::rmdir(dir.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    random_inputs, threaded_passes,
    ::testing::Values(
        pass_case{source_kind::file, fault::none, 1, 12},
        pass_case{source_kind::file, fault::bad_token, 2, 12},
        pass_case{source_kind::file, fault::field_count, 3, 12},
        pass_case{source_kind::file, fault::blank_line, 4, 12},
        pass_case{source_kind::file, fault::long_field, 5, 6},
        pass_case{source_kind::pipe, fault::none, 6, 8},
        pass_case{source_kind::pipe, fault::bad_token, 7, 8},
        pass_case{source_kind::pipe, fault::blank_line, 8, 8},
        pass_case{source_kind::memory, fault::none, 9, 12},
        pass_case{source_kind::memory, fault::field_count, 10, 12},
        pass_case{source_kind::memory, fault::blank_line, 11, 8},
        pass_case{source_kind::failing, fault::read_error, 12, 16},
        pass_case{source_kind::failing, fault::bad_token, 13, 8},
        pass_case{source_kind::file, fault::bad_token, 21, 12, input_form::text, 16},
        pass_case{source_kind::file, fault::blank_line, 22, 12, input_form::text, 16},
        pass_case{source_kind::failing, fault::read_error, 23, 12, input_form::text, 16},
        // Narrow frames from a regular file on several threads: pieces read by ranges, lines
        // longer than a piece reads on for among them.
        pass_case{source_kind::file, fault::none, 24, 12, input_form::text, 16},
        pass_case{source_kind::file, fault::long_field, 25, 8, input_form::text, 16},
        // A regular file whose disk fails part way: the whole lines before the bad bytes, then
        // the error, read by ranges (narrow frames) or through the shared buffer.
        pass_case{source_kind::failing_file, fault::read_error, 26, 12},
        pass_case{source_kind::failing_file, fault::read_error, 27, 12, input_form::text, 16},
        // .npy: a regular file by pread (Fortran order by column runs), a pipe
        // and memory by the calling thread; data that end early.
        pass_case{source_kind::file, fault::none, 14, 16, input_form::npy_c},
        pass_case{source_kind::file, fault::none, 15, 16, input_form::npy_f},
        pass_case{source_kind::pipe, fault::none, 16, 8, input_form::npy_c},
        pass_case{source_kind::pipe, fault::short_data, 17, 8, input_form::npy_c},
        pass_case{source_kind::memory, fault::none, 18, 12, input_form::npy_c},
        pass_case{source_kind::memory, fault::short_data, 19, 12, input_form::npy_c},
        pass_case{source_kind::failing, fault::read_error, 20, 12, input_form::npy_c}),
    [](const ::testing::TestParamInfo<pass_case>& info) {
        return std::string(name_of(info.param.source)) + "_" + name_of(info.param.what) +
               name_of(info.param.form) + (info.param.most_columns <= 16 ? "_narrow" : "");
    });

// A regular file cut short after the opening has read past the cut: what was read may be short,
// so the pass fails, however it reads (pieces by ranges, the shared buffer, one thread), even
// though the lines left end where the file now ends.
TEST(file_cut_under_a_pass, is_a_read_error_for_every_thread_count) {
    char dir_template[] = "/tmp/lagstat_cut_XXXXXX";
    ASSERT_NE(::mkdtemp(dir_template), nullptr);
    const std::string path = std::string(dir_template) + "/in.txt";
    for (const std::size_t columns : {1, 40}) {  // frames by the piece, and sums in parts
        std::string text;
        for (int k = 0; k < 20000; ++k)
            for (std::size_t c = 0; c < columns; ++c) text += c + 1 < columns ? "1.5 " : "1.5\n";
        for (std::size_t threads = 1; threads <= 4; ++threads) {
            SCOPED_TRACE("columns " + std::to_string(columns) + " threads " +
                         std::to_string(threads));
            std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
            text_input in;
            std::unique_ptr<source::byte_source> src(
                new source::fd_source(::open(path.c_str(), O_RDONLY | O_CLOEXEC)));
            ASSERT_FALSE(in.open_source(std::move(src), {}, 65536));
            ASSERT_EQ(::truncate(path.c_str(), off_t(text.find('\n', 1000) + 1)), 0);
            std::vector<double> mean(columns);
            stats::moment_targets tg;
            tg.mean = mean.data();
            tg.add_mean = true;
            stats::moment_accumulator acc(columns, tg, threads);
            thread_team team(threads);
            const pass_error e = accumulate_moments(in, acc, team, nullptr, false, 4096);
            EXPECT_EQ(e.kind, failure::read_error);
            EXPECT_EQ(e.err, EIO);
        }
    }
    std::remove(path.c_str());
    ::rmdir(dir_template);
}

// A regular output that cannot grow past a size (a full disk; here the file size limit, whose
// writes then fail with EFBIG), written by ranges from every thread: the pass fails with the
// error, and the file keeps only whole lines, a prefix of the projection, the frames reported
// all in it.
TEST(projection_by_ranges, a_failed_write_leaves_whole_lines_for_every_thread_count) {
    char dir_template[] = "/tmp/lagstat_ranges_XXXXXX";
    ASSERT_NE(::mkdtemp(dir_template), nullptr);
    const std::string dir = dir_template, path = dir + "/in.txt", out_path = dir + "/out.txt";
    std::string text, want_text;
    for (int k = 0; k < 20000; ++k) {
        text += std::to_string(k) + ".5 -" + std::to_string(k % 97) + ".25\n";
        want_text += std::to_string(k) + ".500000 -" + std::to_string(k % 97) + ".250000\n";
    }
    std::ofstream(path, std::ios::binary) << text;
    const double centre[2] = {0.0, 0.0}, weights[4] = {1.0, 0.0, 0.0, 1.0};
    struct rlimit saved;
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    void (*const previous)(int) = ::signal(SIGXFSZ, SIG_IGN);
    for (std::size_t threads = 1; threads <= 4; ++threads) {
        for (const rlim_t limit : {rlim_t{1}, rlim_t{150001}, rlim_t{want_text.size() - 3}}) {
            SCOPED_TRACE("threads " + std::to_string(threads) + " limit " + std::to_string(limit));
            struct rlimit capped = saved;
            capped.rlim_cur = limit;
            ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &capped), 0);
            projection_job job{};
            job.input_path = path.c_str();
            job.output_path = out_path.c_str();
            job.mean = centre;
            job.weights = weights;
            job.n = 2;
            job.max_proj = 2;
            std::uint64_t written = 0;
            pass_error e;
            {
                text_input in;
                ASSERT_FALSE(in.open(path.c_str(), nullptr));
                thread_team team(threads);
                e = project_frames(in, job, team, &written, 4096);
            }
            ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
            EXPECT_EQ(e.kind, failure::write_output);
            EXPECT_EQ(e.err, EFBIG);
            std::ostringstream got;
            got << std::ifstream(out_path, std::ios::binary).rdbuf();
            const std::string file = got.str();
            EXPECT_LE(file.size(), limit);
            EXPECT_TRUE(file.empty() || file.back() == '\n');
            EXPECT_EQ(file, want_text.substr(0, file.size()));
            EXPECT_LE(written,
                      static_cast<std::uint64_t>(std::count(file.begin(), file.end(), '\n')));
        }
    }
    ::signal(SIGXFSZ, previous);
    std::remove(path.c_str());
    std::remove(out_path.c_str());
    ::rmdir(dir.c_str());
}

}  // namespace
}  // namespace lagstat::passes
