// The line scan, walked line by line (tests/harness) and checked bit for bit against the literal
// stdio reader, with the input cut into reads and buffers of every size, with and without text
// options; the chunk parser against the walker, with the input cut into spans everywhere; and
// the passes' own route (the first data line found in the threaded reader's buffer, every record
// parsed in batches) against the literal option reader.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cpu/isa.hpp"
#include "harness/line_walker.hpp"
#include "passes/frame_batches.hpp"
#include "passes/text_input.hpp"
#include "reference/reference_reader.hpp"
#include "source/open_input.hpp"
#include "text/chunk_parser.hpp"
#include "text/line_scan.hpp"

namespace lagstat::text {
using namespace lagstat::source;
namespace {

using harness::line_walker;

using namespace std::string_literals;

std::string hex(double v) {
    char text[64];
    std::snprintf(text, sizeof text, "%a", v);
    return text;
}

std::string printable(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02x", c);
            out += esc;
        }
    }
    return out;
}

/// One call's result: the count and the values stored (or kept).
struct record {
    int n;
    std::vector<double> values;
};

bool operator==(const record& a, const record& b) {
    return a.n == b.n && a.values.size() == b.values.size() &&
           (a.values.empty() ||
            std::memcmp(a.values.data(), b.values.data(), a.values.size() * sizeof(double)) == 0);
}

std::ostream& operator<<(std::ostream& os, const record& r) {
    os << r.n << " [";
    for (double v : r.values) os << ' ' << hex(v);
    return os << " ]";
}

/// Bytes with reads that stop at given positions, optionally failing (EIO) once the data are
/// used up; counts its reads.
class scripted_source final : public byte_source {
public:
    scripted_source(std::string data, std::vector<std::size_t> cuts = {}, bool fail = false)
        : data_(std::move(data)), cuts_(std::move(cuts)), fail_(fail) {}

    long read(char* buf, std::size_t cap) override {
        ++reads;
        if (pos_ == data_.size()) {
            if (!fail_) return 0;
            error_number_ = EIO;
            return -1;
        }
        std::size_t stop = data_.size();
        for (std::size_t cut : cuts_)
            if (cut > pos_) stop = std::min(stop, cut);
        const std::size_t n = std::min(cap, stop - pos_);
        std::memcpy(buf, data_.data() + pos_, n);
        pos_ += n;
        return static_cast<long>(n);
    }

    int reads = 0;

private:
    std::string data_;
    std::vector<std::size_t> cuts_;
    bool fail_;
    std::size_t pos_ = 0;
};

/// A stdio stream over a string (through fopencookie), optionally failing with EIO once the
/// data are used up.
struct cookie {
    std::string data;
    std::size_t pos = 0;
    bool fail = false;
};

ssize_t cookie_read(void* c, char* buf, std::size_t size) {
    auto* k = static_cast<cookie*>(c);
    if (k->pos == k->data.size()) {
        if (!k->fail) return 0;
        errno = EIO;
        return -1;
    }
    const std::size_t n = std::min(size, k->data.size() - k->pos);
    std::memcpy(buf, k->data.data() + k->pos, n);
    k->pos += n;
    return static_cast<ssize_t>(n);
}

int cookie_close(void* c) {
    delete static_cast<cookie*>(c);
    return 0;
}

struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

file_ptr string_stream(const std::string& data, bool fail = false) {
    cookie_io_functions_t io{};
    io.read = cookie_read;
    io.close = cookie_close;
    return file_ptr(fopencookie(new cookie{data, 0, fail}, "r", io));
}

/// One call of each reader; capacity <= 0 is counting mode (no buffer given).
record reference_call(std::FILE* f, int capacity) {
    std::vector<double> out(static_cast<std::size_t>(std::max(capacity, 0)));
    const int n = reference::read_record(f, capacity > 0 ? out.data() : nullptr, capacity);
    out.resize(static_cast<std::size_t>(std::clamp(n, 0, std::max(capacity, 0))));
    return {n, out};
}

record fast_call(line_walker& reader, int capacity) {
    std::vector<double> out(static_cast<std::size_t>(std::max(capacity, 0)));
    const int n = reader.read_record(capacity > 0 ? out.data() : nullptr, capacity);
    out.resize(static_cast<std::size_t>(std::clamp(n, 0, std::max(capacity, 0))));
    return {n, out};
}

/// The reference's records of data, call by call, until -1 or the end of the file (where one
/// more call gives 0 without reading).
std::vector<record> reference_records(const std::string& data, int capacity, bool fail = false) {
    file_ptr f = string_stream(data, fail);
    std::vector<record> out;
    for (;;) {
        out.push_back(reference_call(f.get(), capacity));
        if (out.back().n < 0 || (out.back().n == 0 && std::feof(f.get()))) break;
    }
    out.push_back(reference_call(f.get(), capacity));
    return out;
}

/// The fast reader's records over src, as many calls as the reference made.
std::vector<record> fast_records(byte_source& src, std::size_t buffer, int capacity,
                                 std::size_t calls) {
    line_walker reader(src, buffer);
    std::vector<record> out;
    for (std::size_t i = 0; i < calls; ++i) out.push_back(fast_call(reader, capacity));
    return out;
}

/// Compares two call sequences up to the first -1; reports the first difference.
::testing::AssertionResult same_records(const std::vector<record>& expected,
                                        const std::vector<record>& got) {
    for (std::size_t i = 0; i < expected.size() && i < got.size(); ++i) {
        if (!(expected[i] == got[i]))
            return ::testing::AssertionFailure()
                   << "call " << i + 1 << ": expected " << expected[i] << ", got " << got[i];
        if (expected[i].n < 0) break;
    }
    return ::testing::AssertionSuccess();
}

class reader_test : public ::testing::Test {
protected:
    void SetUp() override { std::setlocale(LC_ALL, "C"); }
};

// --- The edge cases of the format: one line, through both readers. ---

struct line_case {
    std::string line;  // without its line end
    int capacity;      // <= 0: counting mode
    int expected;
    std::vector<double> values;  // filling mode only
};

std::ostream& operator<<(std::ostream& os, const line_case& c) {
    return os << '"' << printable(c.line) << "\" capacity " << c.capacity;
}

class reader_edge : public ::testing::TestWithParam<line_case> {
protected:
    void SetUp() override { std::setlocale(LC_ALL, "C"); }
};

TEST_P(reader_edge, both_readers_give_the_table_result) {
    const line_case& c = GetParam();
    const record expected{c.expected,
                          c.capacity > 0 && c.expected > 0 ? c.values : std::vector<double>{}};
    const record next{1, c.capacity > 0 ? std::vector<double>{7.0} : std::vector<double>{}};
    const record end_of_data{0, {}};
    // The line with a line end and a following line, and the line as the last of the file.
    for (const bool last_line : {false, true}) {
        const std::string data = last_line ? c.line : c.line + "\n7\n";
        file_ptr f = string_stream(data);
        EXPECT_EQ(reference_call(f.get(), c.capacity), expected) << "reference";
        if (c.expected >= 0) {
            // The stream is left at the next line, or at the end of the data.
            EXPECT_EQ(reference_call(f.get(), c.capacity), last_line ? end_of_data : next);
        }
        for (const std::size_t buffer :
             {std::size_t{1}, std::size_t{3}, line_walker::default_buffer_size}) {
            memory_source src(data.data(), data.size());
            line_walker reader(src, buffer);
            EXPECT_EQ(fast_call(reader, c.capacity), expected) << "buffer " << buffer;
            EXPECT_EQ(reader.line_number(), 1u);
            if (c.expected >= 0) {
                EXPECT_EQ(fast_call(reader, c.capacity), last_line ? end_of_data : next);
            }
        }
    }
}

const std::string zeros_255(255, '0');

INSTANTIATE_TEST_SUITE_P(
    reader_lines, reader_edge,
    ::testing::Values(
        line_case{"1 2 3", 8, 3, {1, 2, 3}}, line_case{"1,2,3", 8, 3, {1, 2, 3}},
        line_case{"1, 2,3", 8, 3, {1, 2, 3}}, line_case{"1,2,", 8, 2, {1, 2}},
        line_case{",1", 8, 2, {0, 1}}, line_case{"1,,2", 8, 3, {1, 0, 2}},
        line_case{"1 ,2", 8, 3, {1, 0, 2}}, line_case{"1 ,", 8, 2, {1, 0}},
        line_case{"-1.5e-3 +2", 8, 2, {-0.0015, 2}}, line_case{"1-2 3", 8, 2, {1, 3}},
        line_case{"1.5e", 8, 1, {1.5}}, line_case{"1 x", 8, -1, {}}, line_case{"nan", 8, -1, {}},
        line_case{"inf", 8, -1, {}}, line_case{"  1\t2  ", 8, 2, {1, 2}}, line_case{"", 8, 0, {}},
        line_case{" \t  \t", 8, 0, {}}, line_case{"\r", 8, 0, {}},
        line_case{"1 2 3 4 5 6 7 8 9", 8, -1, {}},
        line_case{"1 2 3 4 5 6 7 8 9", 9, 9, {1, 2, 3, 4, 5, 6, 7, 8, 9}},
        line_case{"1 2", 8, 2, {1, 2}}, line_case{zeros_255 + "5", 8, 1, {5}},
        line_case{"-" + zeros_255 + "5", 8, -1, {}},
        line_case{"1 " + zeros_255 + "5", 8, 2, {1, 5}}, line_case{zeros_255 + "05", 8, -1, {}},
        line_case{"1 2 3", 0, 3, {}}, line_case{"1 2 3 4 5 6 7 8 9", 0, 9, {}},
        line_case{"1 x", 0, -1, {}}, line_case{"1,2,3\r", 8, 3, {1, 2, 3}},
        line_case{"1\v2\f3\r", 8, 3, {1, 2, 3}}, line_case{",", 8, 1, {0}},
        line_case{" ,", 8, 1, {0}}, line_case{",,", 8, 2, {0, 0}},
        line_case{"1, ,2", 8, 3, {1, 0, 2}}, line_case{"1 , 2", 8, 3, {1, 0, 2}},
        line_case{"-0.0 +-1 --1 . - e", 8, 6, {-0.0, 0, 0, 0, 0, 0}},
        line_case{"1e400 -1e400 1e-400 -1e-400", 8, 4, {HUGE_VAL, -HUGE_VAL, 0.0, -0.0}},
        line_case{"12.345678 -0.000001 123456789.123456789",
                  8,
                  3,
                  {12.345678, -0.000001, 123456789.123456789}},
        line_case{"1\0 2"s, 8, -1, {}}, line_case{"1 \xff"s, 8, -1, {}},
        line_case{"\xc2\xa0"
                  "1"s,
                  8,
                  -1,
                  {}},
        line_case{"1 #2", 8, -1, {}}, line_case{"1;2", 8, -1, {}}, line_case{"\"1\"", 8, -1, {}},
        line_case{"1 2x", 8, -1, {}}, line_case{"0x10", 8, -1, {}},
        line_case{"1\t,\t2", 8, 3, {1, 0, 2}}));

// --- Sequences of lines: the end of the data, read errors, the line number. ---

struct sequence_case {
    std::string data;
    bool fail;  // the read after the data fails
    std::vector<int> results;
};

std::ostream& operator<<(std::ostream& os, const sequence_case& c) {
    return os << '"' << printable(c.data) << '"' << (c.fail ? " then a read error" : "");
}

class reader_sequence : public ::testing::TestWithParam<sequence_case> {
protected:
    void SetUp() override { std::setlocale(LC_ALL, "C"); }
};

TEST_P(reader_sequence, both_readers_give_the_results) {
    const sequence_case& c = GetParam();
    file_ptr f = string_stream(c.data, c.fail);
    scripted_source src(c.data, {}, c.fail);
    line_walker reader(src, 4);
    for (std::size_t i = 0; i < c.results.size(); ++i) {
        double out[8];
        EXPECT_EQ(reference::read_record(f.get(), out, 8), c.results[i])
            << "reference call " << i + 1;
        EXPECT_EQ(reader.read_record(out, 8), c.results[i]) << "call " << i + 1;
    }
    EXPECT_EQ(reader.failed(), c.fail);
    EXPECT_EQ(reader.error_number(), c.fail ? EIO : 0);
}

INSTANTIATE_TEST_SUITE_P(reader_inputs, reader_sequence,
                         ::testing::Values(sequence_case{"1 2\n3 4", false, {2, 2, 0, 0}},
                                           sequence_case{"1 2\n3 4\n", false, {2, 2, 0, 0}},
                                           sequence_case{"1\n\n2\n", false, {1, 0, 1, 0}},
                                           sequence_case{"", false, {0, 0}},
                                           sequence_case{"", true, {-1, -1}},
                                           sequence_case{"1 2\n3", true, {2, -1, -1}},
                                           sequence_case{"1 2\n", true, {2, -1, -1}},
                                           sequence_case{"1 2\n\n", true, {2, 0, -1}},
                                           sequence_case{"123456789", true, {-1, -1}}));

TEST_F(reader_test, end_of_file_is_not_read_again) {
    scripted_source src("1 2\n3 4");
    line_walker reader(src);
    EXPECT_EQ(reader.read_record(nullptr, 0), 2);
    EXPECT_EQ(reader.read_record(nullptr, 0), 2);
    const int reads = src.reads;
    EXPECT_EQ(reader.read_record(nullptr, 0), 0);
    EXPECT_EQ(reader.read_record(nullptr, 0), 0);
    EXPECT_EQ(src.reads, reads);
}

TEST_F(reader_test, line_number_counts_the_lines_read) {
    const std::string data = "1 2\n3 4\n5 x\n";
    memory_source src(data.data(), data.size(), 3);
    line_walker reader(src, 2);
    double out[2];
    EXPECT_EQ(reader.read_record(out, 2), 2);
    EXPECT_EQ(reader.line_number(), 1u);
    EXPECT_EQ(reader.read_record(out, 2), 2);
    EXPECT_EQ(reader.line_number(), 2u);
    EXPECT_EQ(reader.read_record(out, 2), -1);
    EXPECT_EQ(reader.line_number(), 3u);
}

TEST_F(reader_test, kept_first_line_then_filling_matches_the_reference) {
    const std::string data = "1.5,-2 3e2\n4 5 6\n7 8 9\n\n";
    memory_source src(data.data(), data.size(), 5);
    line_walker reader(src, 7);
    std::vector<double> first = {99.0};
    ASSERT_EQ(reader.read_record(first), 3);
    EXPECT_EQ(first, (std::vector<double>{1.5, -2, 300}));
    const std::vector<record> expected = reference_records(data, 3);
    for (std::size_t i = 1; i < expected.size(); ++i)
        EXPECT_EQ(fast_call(reader, 3), expected[i]) << "call " << i + 1;
    std::vector<double> none = {1.0};
    EXPECT_EQ(reader.read_record(none), 0);
    EXPECT_TRUE(none.empty());
}

TEST_F(reader_test, a_million_fields_on_one_line) {
    std::string data;
    for (int i = 0; i < 1000000; ++i) data += std::to_string(i % 1000) + (i % 3 ? " " : ",");
    data += "\n1\n";
    for (const std::size_t buffer : {std::size_t{4096}, line_walker::default_buffer_size}) {
        memory_source counting_src(data.data(), data.size());
        line_walker counting(counting_src, buffer);
        EXPECT_EQ(counting.read_record(nullptr, 0), 1000000);
        EXPECT_EQ(counting.read_record(nullptr, 0), 1);

        memory_source keeping_src(data.data(), data.size(), 100000);
        line_walker keeping(keeping_src, buffer);
        std::vector<double> values;
        ASSERT_EQ(keeping.read_record(values), 1000000);
        for (int i = 0; i < 1000000; i += 99991) EXPECT_EQ(values[i], i % 1000);
        EXPECT_EQ(values.back(), 999999 % 1000);

        memory_source filling_src(data.data(), data.size());
        line_walker filling(filling_src, buffer);
        std::vector<double> out(1000000);
        EXPECT_EQ(filling.read_record(out.data(), 1000000), 1000000);
        EXPECT_EQ(out, values);
        EXPECT_EQ(filling.read_record(out.data(), 999999), 1);
    }
}

// --- Files. ---

TEST_F(reader_test, open_input_reports_errno) {
    int err = 0;
    EXPECT_EQ(open_input("/nonexistent/lagstat/frames.txt", err), nullptr);
    EXPECT_EQ(err, ENOENT);

    // A directory opens, as with fopen, and fails on the first read.
    char dir[] = "/tmp/lagstat_reader_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::unique_ptr<byte_source> src = open_input(dir, err);
    ASSERT_NE(src, nullptr);
    EXPECT_EQ(err, 0);
    line_walker reader(*src);
    EXPECT_EQ(reader.read_record(nullptr, 0), -1);
    EXPECT_TRUE(reader.failed());
    EXPECT_EQ(reader.error_number(), EISDIR);
    EXPECT_EQ(reader.read_record(nullptr, 0), -1);
    rmdir(dir);
}

TEST_F(reader_test, file_reads_as_fopen_does) {
    std::mt19937_64 rng(5);
    std::string data;
    char field[32];
    for (int line = 0; line < 20000; ++line) {
        for (int k = 0; k < 7; ++k) {
            std::snprintf(field, sizeof field, "%f",
                          static_cast<double>(rng() % 100000000) / 997 - 5e4);
            data += field;
            data += k == 6 ? "\n" : " ";
        }
    }
    char path[] = "/tmp/lagstat_reader_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    close(fd);

    file_ptr f(std::fopen(path, "r"));
    ASSERT_NE(f, nullptr);
    int err = 0;
    std::unique_ptr<byte_source> src = open_input(path, err);
    ASSERT_NE(src, nullptr);
    line_walker reader(*src, 65536);
    int lines = 0;
    for (;;) {
        const record expected = reference_call(f.get(), 7);
        ASSERT_EQ(fast_call(reader, 7), expected) << "line " << lines + 1;
        if (expected.n <= 0) break;
        ++lines;
    }
    EXPECT_EQ(lines, 20000);
    unlink(path);
}

// The interrupt check runs once before the open and after every read: this one appends a line
// and a cut one to the file after the first read of its opening, the peek at magic bytes.
const char* append_to = nullptr;
int looks_before_the_open = 0;
bool append_after_first_read() noexcept {
    if (looks_before_the_open > 0) {
        --looks_before_the_open;
        return false;
    }
    file_ptr f(append_to != nullptr ? std::fopen(append_to, "a") : nullptr);
    if (f && std::fputs("5 6\n7", f.get()) >= 0) append_to = nullptr;
    return false;  // closed, so appended, before the opening goes on
}

TEST_F(reader_test, a_file_appended_to_while_it_opens_has_changed_since_its_opening) {
    char path[] = "/tmp/lagstat_reader_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "1 2\n3 4\n", 8), 8);
    close(fd);
    append_to = path;
    looks_before_the_open = 1;
    passes::text_input in;
    ASSERT_FALSE(static_cast<bool>(in.open(path, append_after_first_read)));
    EXPECT_EQ(append_to, nullptr);         // appended during the opening
    EXPECT_TRUE(in.plain_file_changed());  // so "7" is a line still being written
    unlink(path);
}

// A signal already taken when the pass opens its input: a FIFO without a writer is not waited
// on. (The alarm only ends the test if the open does wait.)
bool signal_taken() noexcept {
    return true;
}
void on_alarm(int) {}

TEST(open_input_test, a_signal_taken_before_the_open_stops_it_without_waiting) {
    char dir[] = "/tmp/lagstat_reader_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string fifo = std::string(dir) + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct sigaction act = {}, old = {};
    act.sa_handler = on_alarm;  // no SA_RESTART: the alarm interrupts the open
    ASSERT_EQ(sigaction(SIGALRM, &act, &old), 0);
    alarm(3);
    int err = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(open_input(fifo.c_str(), err, signal_taken), nullptr);
    const auto waited = std::chrono::steady_clock::now() - start;
    alarm(0);
    sigaction(SIGALRM, &old, nullptr);
    EXPECT_EQ(err, EINTR);
    EXPECT_LT(waited, std::chrono::seconds(1));
    unlink(fifo.c_str());
    rmdir(dir);
}

// --- Every split of an input into two reads. ---

TEST_F(reader_test, every_split_point_reads_the_same) {
    const std::string data = "  -12.345678,0.5e-3 ,+7\r\n1.5e 1-2,,3\t\v4.\n.5 -0.0 " +
                             std::string(200, '9') + ".25e-301 1e400\n\n9 8\n";
    const std::vector<record> expected = reference_records(data, 0);
    const std::vector<record> expected_filled = reference_records(data, 8);
    for (std::size_t cut = 0; cut <= data.size(); ++cut) {
        scripted_source src(data, {cut});
        EXPECT_TRUE(same_records(
            expected, fast_records(src, line_walker::default_buffer_size, 0, expected.size())))
            << "split at " << cut;
        scripted_source filled_src(data, {cut});
        EXPECT_TRUE(same_records(expected_filled,
                                 fast_records(filled_src, line_walker::default_buffer_size, 8,
                                              expected_filled.size())))
            << "split at " << cut;
    }
}

// --- Random inputs against the reference. ---

/// A random field: mostly numbers as files hold them, sometimes any text of the number
/// alphabet, sometimes 255 to 257 characters long.
std::string random_field(std::mt19937_64& rng) {
    static const char alphabet[] = "0123456789.+-eE";
    char text[64];
    std::string s;
    switch (rng() % 8) {
        case 0:
        case 1:
        case 2:
            std::snprintf(
                text, sizeof text, "%f",
                static_cast<double>(static_cast<std::int64_t>(rng() % 2000000000) - 1000000000) /
                    1e4);
            return text;
        case 3:
            std::snprintf(
                text, sizeof text, "%.17g",
                std::ldexp(static_cast<double>(rng() >> 11), static_cast<int>(rng() % 80) - 60) *
                    (rng() % 2 ? 1 : -1));
            return text;
        case 4:
            return std::to_string(static_cast<int>(rng() % 200000) - 100000);
        case 5:
            for (std::size_t n = rng() % 6; n > 0; --n) s += alphabet[rng() % 15];
            return s;
        case 6:
            s = std::to_string(rng() % 1000) + "." + std::to_string(rng() % 100000) +
                (rng() % 2 ? "e" : "E");
            if (rng() % 2) s += rng() % 2 ? "-" : "+";
            return s + std::to_string(rng() % 330);
        default:
            if (rng() % 8 != 0) return std::to_string(rng() % 10);
            s = std::string(254 + rng() % 4, '0');
            s[0] = rng() % 2 ? '-' : '1';
            s.back() = '7';
            return s;
    }
}

std::string random_separator(std::mt19937_64& rng) {
    static const char* const separators[] = {" ",  " ",     " ",   ",",  ", ", " ,",  "\t", "  ",
                                             ",,", "\t,\t", "\r ", "\v", "\f", " , ", ","};
    return separators[rng() % 15];
}

std::string random_input(std::mt19937_64& rng) {
    std::string data;
    const int lines = 1 + static_cast<int>(rng() % 12);
    const int fields = 1 + static_cast<int>(rng() % 9);
    for (int line = 0; line < lines; ++line) {
        const int r = static_cast<int>(rng() % 40);
        if (r == 0) {
            data += "\n";  // empty line
            continue;
        }
        if (r == 1) {
            data += " \t\r\n";  // blank line
            continue;
        }
        if (rng() % 4 == 0) data += random_separator(rng);  // leading separator
        const int n = r == 2 ? 1 + static_cast<int>(rng() % 12) : fields;
        for (int k = 0; k < n; ++k) {
            data += random_field(rng);
            if (k + 1 < n) data += random_separator(rng);
        }
        if (rng() % 4 == 0) data += random_separator(rng);  // trailing separator
        if (rng() % 60 == 0) {
            static const std::string stray[] = {"x", "\0"s, "\xff", "#", "a", "\x80"};
            data.insert(rng() % (data.size() + 1), stray[rng() % 6]);
        }
        if (line + 1 < lines || rng() % 2) data += rng() % 5 == 0 ? "\r\n" : "\n";
    }
    return data;
}

TEST_F(reader_test, random_inputs_match_the_reference) {
    std::mt19937_64 rng(2024);
    const std::size_t buffers[] = {1, 2, 3, 7, 64, 4096, line_walker::default_buffer_size};
    const std::size_t chunks[] = {1, 5, 13, 4096, static_cast<std::size_t>(-1)};
    int failures = 0;
    for (int i = 0; i < 1500 && failures < 5; ++i) {
        const std::string data = random_input(rng);
        const int capacity = rng() % 3 == 0 ? 0 : 1 + static_cast<int>(rng() % 10);
        const std::vector<record> expected = reference_records(data, capacity);
        // Kept values: the reference's values from a buffer large enough for any line.
        std::vector<record> kept = reference_records(data, 1000);
        for (record& r : kept)
            if (r.n < 0) r.values.clear();
        for (const std::size_t buffer : buffers) {
            const std::size_t chunk = chunks[rng() % 5];
            memory_source src(data.data(), data.size(), chunk);
            const ::testing::AssertionResult same =
                same_records(expected, fast_records(src, buffer, capacity, expected.size()));
            if (!same) {
                ++failures;
                ADD_FAILURE() << same.message() << "\n  input \"" << printable(data)
                              << "\" capacity " << capacity << " buffer " << buffer << " chunk "
                              << chunk;
            }
            // The keeping call on every line gives the counting result and all the values.
            memory_source keep_src(data.data(), data.size(), chunk);
            line_walker reader(keep_src, buffer);
            for (std::size_t call = 0; call < kept.size(); ++call) {
                std::vector<double> values;
                const record got{reader.read_record(values), values};
                if (!(got == kept[call])) {
                    ++failures;
                    ADD_FAILURE() << "keeping call " << call + 1 << ": expected " << kept[call]
                                  << ", got " << got << "\n  input \"" << printable(data)
                                  << "\" buffer " << buffer;
                    break;
                }
                if (got.n < 0) break;
            }
        }
    }
    EXPECT_EQ(failures, 0);
}

// --- Text options: the reader as the passes call it, against the literal option reader. ---

constexpr std::uint64_t unknown_line = ~std::uint64_t{0};

/// A walk as the passes read: the first data line kept, then records of its width until 0 or -1;
/// every call's result and values, the line number after it, and the last error. A count other
/// than the width in the default format is -1, which is how the passes take it.
struct walk {
    std::vector<record> calls;
    std::vector<std::uint64_t> lines;
    error_kind error = error_kind::none;
};

bool operator==(const walk& a, const walk& b) {
    if (a.calls != b.calls || a.error != b.error) return false;
    for (std::size_t i = 0; i < a.calls.size(); ++i) {
        const bool known = a.lines[i] != unknown_line && b.lines[i] != unknown_line;
        if (a.calls[i].n != 0 && known && a.lines[i] != b.lines[i]) return false;
    }
    return true;
}

std::ostream& operator<<(std::ostream& os, const walk& w) {
    for (std::size_t i = 0; i < w.calls.size(); ++i)
        os << "\n    " << w.calls[i] << " line " << w.lines[i];
    return os << "\n    error " << describe(w.error);
}

walk fast_walk(const std::string& data, const text_options& options, std::size_t buffer,
               std::size_t chunk) {
    memory_source src(data.data(), data.size(), chunk);
    line_walker reader(src, options, buffer);
    walk w;
    std::vector<double> values;
    const int width = reader.read_record(values);
    w.calls.push_back({width, values});
    w.lines.push_back(reader.line_number());
    for (int r = width; r > 0;) {
        std::vector<double> out(static_cast<std::size_t>(width));
        r = reader.read_record(out.data(), width);
        if (r > 0 && r != width) r = -1;
        out.resize(static_cast<std::size_t>(std::max(r, 0)));
        w.calls.push_back({r, out});
        w.lines.push_back(reader.line_number());
    }
    w.error = reader.last_error();
    return w;
}

walk reference_walk(const std::string& data, const text_options& options) {
    file_ptr f = string_stream(data);
    reference::option_reader reader(f.get(), options);
    walk w;
    for (int r = 1; r > 0;) {
        std::vector<double> values;
        r = reader.read(values);
        w.calls.push_back({r, values});
        w.lines.push_back(reader.line_number());
    }
    w.error = reader.error();
    return w;
}

/// The builds of the chunk parser: the processor's widest (AVX-512's, with the whole-line
/// kernel, where it runs), the AVX one (the kernel choice lowered to AVX2 for the walk), and the
/// portable field kernel.
enum class chunk_build { widest, avx, portable };
constexpr chunk_build all_chunk_builds[] = {chunk_build::widest, chunk_build::avx,
                                            chunk_build::portable};
const char* const chunk_build_names[] = {"widest", "avx", "portable"};

/// The kernel choice lowered for the time of a scope, then put back.
struct kernel_choice {
    const cpu::isa saved = cpu::active_isa();
    explicit kernel_choice(chunk_build build) {
        if (build == chunk_build::avx && saved == cpu::isa::avx512) cpu::select_isa(cpu::isa::avx2);
    }
    ~kernel_choice() { cpu::select_isa(saved); }
};

/// The walk with the lines after the first data line parsed by parse_chunk (of one build):
/// spans that end at the cuts (raw, or at the last line end before them) and at most
/// max_records records per call, each span copied into a buffer of its own.
walk chunk_walk(const std::string& data, const text_options& options, std::vector<std::size_t> cuts,
                std::size_t max_records, chunk_build build) {
    const kernel_choice choice(build);
    const bool portable = build == chunk_build::portable;
    memory_source src(data.data(), data.size());
    line_walker reader(src, options);
    walk w;
    std::vector<double> values;
    const int width = reader.read_record(values);
    w.calls.push_back({width, values});
    w.lines.push_back(reader.line_number());
    w.error = reader.last_error();
    if (width <= 0) return w;
    const std::string rest(reader.pending());
    std::uint64_t line = reader.line_number();
    cuts.push_back(rest.size());
    std::size_t start = 0;
    for (std::size_t k = 0; k < cuts.size(); ++k) {
        const bool final_span = k + 1 == cuts.size();
        std::size_t stop = std::clamp(cuts[k], start, rest.size());
        if (!final_span && k % 2 == 1)
            stop = static_cast<std::size_t>(
                after_last_newline(rest.data() + start, rest.data() + stop) - rest.data());
        // A span that ends with '\n' is parsed in place, the next line's bytes after it (as the
        // threads of a pass parse the pieces of one buffer); any other gets its sentinel.
        const bool whole_lines = stop > start && rest[stop - 1] == '\n';
        std::string span = (whole_lines ? rest.substr(start) : rest.substr(start, stop - start)) +
                           std::string(1 + chunk_padding, '\0');
        const char* const begin = span.data();
        const char* const end = begin + (stop - start);
        const char* from = begin;
        for (;;) {
            std::vector<double> out(max_records * static_cast<std::size_t>(width) + 1);
            const chunk_result r = (portable ? detail::parse_chunk_portable : parse_chunk)(
                from, end, reader.layout(), out.data(), static_cast<std::size_t>(width),
                max_records, final_span);
            for (std::size_t i = 0; i < r.records; ++i) {
                const auto first = out.begin() + static_cast<std::ptrdiff_t>(i) * width;
                w.calls.push_back({width, std::vector<double>(first, first + width)});
                w.lines.push_back(unknown_line);  // only the last record's is known
            }
            line += r.lines;
            // Full: the lines end with the last record (else comment lines may follow it).
            if (r.records > 0 && r.why == chunk_result::stop::full) w.lines.back() = line;
            if (r.why == chunk_result::stop::bad_line || r.why == chunk_result::stop::end_of_data) {
                const bool bad = r.why == chunk_result::stop::bad_line;
                w.calls.push_back({bad ? -1 : 0, {}});
                w.lines.push_back(line);
                w.error = r.error;
                return w;
            }
            from = r.resume;
            if (r.why == chunk_result::stop::end_of_span) break;
        }
        start += static_cast<std::size_t>(from - begin);
    }
    w.calls.push_back({0, {}});
    w.lines.push_back(unknown_line);
    return w;
}

/// The walk as the passes read: the input opened (its first data line found and counted in the
/// text buffer of `buffer` bytes), then every record, the first one included, from the threaded
/// reader on `threads` threads with pieces of piece_bytes.
walk batches_walk(const std::string& data, const text_options& options, std::size_t buffer,
                  std::size_t chunk, std::size_t piece_bytes, std::size_t threads) {
    passes::text_input in;
    walk w;
    const passes::pass_error e = in.open_source(
        std::make_unique<memory_source>(data.data(), data.size(), chunk), options, buffer);
    if (e) {
        const bool no_data = e.kind == passes::failure::no_data;
        w.calls.push_back({no_data ? 0 : -1, {}});
        w.lines.push_back(e.line != 0 ? e.line : unknown_line);
        w.error = e.reason;
        return w;
    }
    const auto width = static_cast<std::size_t>(in.columns());
    const std::uint64_t first_line = in.first_line();
    passes::thread_team team(threads);
    passes::frame_batches batches(in, team, nullptr, nullptr, piece_bytes);
    while (batches.next()) {
        for (const double* row : batches.rows()) {
            w.calls.push_back({static_cast<int>(width), std::vector<double>(row, row + width)});
            w.lines.push_back(w.lines.empty() ? first_line : unknown_line);
        }
    }
    const passes::pass_error end = batches.error();
    w.calls.push_back({end ? -1 : 0, {}});
    w.lines.push_back(end ? end.line : unknown_line);
    w.error = end.reason;
    return w;
}

struct options_case {
    const char* name;
    text_options options;
    std::string data;
    std::vector<int> results;  // what the calls return, the first data line's call first
    error_kind error;
};

std::ostream& operator<<(std::ostream& os, const options_case& c) {
    return os << c.name << ": \"" << printable(c.data) << '"';
}

text_options opts(std::string comments, std::uint64_t skip_rows = 0,
                  std::vector<long long> usecols = {}, bool comma = false) {
    return {std::move(comments), skip_rows, std::move(usecols),
            comma ? delimiter::comma : delimiter::whitespace_or_comma};
}

text_options skipping_blanks(text_options o) {
    o.skip_blank = true;
    return o;
}

class reader_options : public ::testing::TestWithParam<options_case> {
protected:
    void SetUp() override { std::setlocale(LC_ALL, "C"); }
};

TEST_P(reader_options, every_buffer_and_span_reads_as_the_reference) {
    const options_case& c = GetParam();
    ASSERT_EQ(validate(c.options), nullptr);
    const walk expected = reference_walk(c.data, c.options);
    std::vector<int> results;
    for (const record& r : expected.calls) results.push_back(r.n);
    ASSERT_EQ(results, c.results) << "reference" << expected;
    ASSERT_EQ(expected.error, c.error) << describe(expected.error);
    for (std::size_t buffer = 1; buffer <= 48; ++buffer) {
        for (const std::size_t chunk : {std::size_t{1}, std::size_t{5}, std::size_t(-1)}) {
            ASSERT_EQ(fast_walk(c.data, c.options, buffer, chunk), expected)
                << "buffer " << buffer << " chunk " << chunk;
            const std::size_t piece = 1 + (buffer + chunk) % 9, threads = 1 + buffer % 3;
            ASSERT_EQ(batches_walk(c.data, c.options, buffer, chunk, piece, threads), expected)
                << "batches: buffer " << buffer << " chunk " << chunk << " piece " << piece
                << " threads " << threads;
        }
    }
    for (std::size_t cut = 0; cut <= c.data.size(); ++cut) {
        for (const chunk_build build : all_chunk_builds)
            ASSERT_EQ(chunk_walk(c.data, c.options, {cut, cut + 3}, 1 + cut % 3, build), expected)
                << "cut at " << cut << ' ' << chunk_build_names[static_cast<int>(build)];
    }
}

const std::string colvar =
    "#! FIELDS time d1 d2\n#! SET min_d1 0\n 0.000000 1.5 -2.25\n 1.000000 1.625 2.5\n"
    "# restart\n#! SET min_d1 0\n 2.000000 1.75 2.75 # last\n";
const std::string xvg = "# GROMACS\n@    title \"RMSD\"\n@TYPE xy\n0.0 0.5\n1.0 0.25\n";
const std::string csv = "time,a,b\n0,1.5,-2\n1, 2.5 ,3\r\n2,3.5,4";

INSTANTIATE_TEST_SUITE_P(
    reader_option_sets, reader_options,
    ::testing::Values(
        options_case{"colvar", opts("#"), colvar, {3, 3, 3, 0}, error_kind::none},
        options_case{"blank ends", opts("#"), "1 2\n\n3 4\n", {2, 0}, error_kind::none},
        options_case{"blanks skipped",
                     skipping_blanks(opts("#")),
                     "\n \n# c\n1 2\n\n3 4\n \t\n\n5 6",
                     {2, 2, 2, 0},
                     error_kind::none},
        options_case{"blanks skipped, no comments",
                     skipping_blanks(opts("")),
                     "1 2\n\n3 4\n\n",
                     {2, 2, 0},
                     error_kind::none},
        options_case{"csv blanks skipped",
                     skipping_blanks(opts("", 1, {1}, true)),
                     "t,a\n0,1\n\n\r\n1,2\n\n2,x\n",
                     {1, 1, -1},
                     error_kind::bad_character},
        options_case{
            "colvar d2 first", opts("#", 0, {2, -2}), colvar, {2, 2, 2, 0}, error_kind::none},
        options_case{"xvg", opts("#@"), xvg, {2, 2, 0}, error_kind::none},
        options_case{"xvg without @", opts("#"), xvg, {-1}, error_kind::bad_character},
        options_case{"csv header", opts("", 1, {}, true), csv, {3, 3, 3, 0}, error_kind::none},
        options_case{
            "csv index column", opts("", 1, {1, 2}, true), csv, {2, 2, 2, 0}, error_kind::none},
        options_case{"csv empty field",
                     opts("", 0, {}, true),
                     "1,2,3\n4,,6\n",
                     {3, -1},
                     error_kind::empty_field},
        options_case{"csv trailing comma",
                     opts("#", 0, {}, true),
                     "1,2\n3,#\n",
                     {2, -1},
                     error_kind::empty_field},
        options_case{
            "csv leading comma", opts("", 0, {}, true), " ,1\n", {-1}, error_kind::empty_field},
        options_case{"csv inner space",
                     opts("", 0, {0}, true),
                     "1,2\n3 4,5\n",
                     {1, -1},
                     error_kind::missing_delimiter},
        options_case{"csv comment tail",
                     opts("#", 0, {}, true),
                     "1,2#x\n3 ,4 # y\n\n5,6\n",
                     {2, 2, 0},
                     error_kind::none},
        options_case{
            "comma in default", opts("#"), "1,,2 # x\n, 3 ,\n", {3, 3, 0}, error_kind::none},
        options_case{
            "out of range", opts("", 0, {0, 3}), "1 2 3\n", {-1}, error_kind::column_out_of_range},
        options_case{"negative out of range",
                     opts("", 0, {-4}),
                     "1 2 3\n",
                     {-1},
                     error_kind::column_out_of_range},
        options_case{
            "duplicate", opts("", 0, {0, -3}), "1 2 3\n", {-1}, error_kind::duplicate_column},
        options_case{
            "fewer fields", opts("", 0, {0}), "1 2\n3\n", {1, -1}, error_kind::wrong_field_count},
        options_case{"more fields",
                     opts("#", 0, {1}),
                     "1 2\n3 4 5\n",
                     {1, -1},
                     error_kind::wrong_field_count},
        options_case{"unselected checked",
                     opts("", 0, {0}),
                     "1 2\n3 4x\n",
                     {1, -1},
                     error_kind::bad_character},
        options_case{"unselected too long",
                     opts("", 0, {1}),
                     "1 2\n" + std::string(257, '1') + " 3\n",
                     {1, -1},
                     error_kind::field_too_long},
        options_case{
            "blank ends the data", opts("#"), "# c\n1 2\n\n3 4\n", {2, 0}, error_kind::none},
        options_case{"only comments", opts("#"), "# a\n  # b\n", {0}, error_kind::none},
        options_case{"comment cut by the end", opts("#"), "1\n# b", {1, 0}, error_kind::none},
        options_case{"rows past the end", opts("", 3), "a\nb\n", {0}, error_kind::none},
        options_case{"rows then bad", opts("", 1), "x y\n1 z\n", {-1}, error_kind::bad_character},
        options_case{
            "default format", opts(""), "1 2\n3\n", {2, -1}, error_kind::wrong_field_count},
        options_case{"default format, two points last",
                     opts(""),
                     "1.5 2.5\n-1.5 1.2.3\n-1.5 1.2.3 \n",
                     {2, 2, 2, 0},
                     error_kind::none},
        options_case{"default format, more fields",
                     opts(""),
                     "1.5 -2.5\n3.5 4.5 5.5 6.5 7.5 8.5 9.5 1.25 2.25 3.25\n",
                     {2, -1},
                     error_kind::wrong_field_count}));

// --- A line without end: refused, or too long to hold, after a bounded read. ---

/// A head, then one unit over and over: a line that never ends. Past `most` bytes it fails
/// (EFBIG), so that a reader that held the whole line shows as a read error, not as a machine
/// out of memory.
class endless_source final : public byte_source {
public:
    endless_source(std::string head, const std::string& unit, std::size_t most)
        : head_(std::move(head)), unit_size_(unit.size()), most_(most) {
        while (units_.size() < (std::size_t{1} << 20) + unit_size_) units_ += unit;
    }
    long read(char* buf, std::size_t cap) override {
        if (pos_ >= most_) {
            error_number_ = EFBIG;
            return -1;
        }
        std::size_t n = std::min({cap, most_ - pos_, std::size_t{1} << 20});
        if (pos_ < head_.size()) {
            n = std::min(n, head_.size() - pos_);
            std::memcpy(buf, head_.data() + pos_, n);
        } else {
            std::memcpy(buf, units_.data() + (pos_ - head_.size()) % unit_size_, n);
        }
        pos_ += n;
        return static_cast<long>(n);
    }

private:
    std::string head_, units_;
    std::size_t unit_size_, most_, pos_ = 0;
};

struct endless_case {
    const char* name;
    std::string head, unit;
    text_options options;
    passes::failure kind;
    std::uint64_t line;
    error_kind reason;
    std::size_t most;  // bytes the source hands out before it fails
};

std::ostream& operator<<(std::ostream& os, const endless_case& c) { return os << c.name; }

class endless_line : public ::testing::TestWithParam<endless_case> {};

TEST_P(endless_line, stops_within_its_bound) {
    const endless_case& c = GetParam();
    for (const std::size_t threads : {1, 3}) {
        passes::text_input in;
        passes::pass_error e = in.open_source(
            std::make_unique<endless_source>(c.head, c.unit, c.most), c.options);
        if (!e) {
            passes::thread_team team(threads);
            passes::frame_batches batches(in, team, nullptr);
            while (batches.next()) {
            }
            e = batches.error();
        }
        EXPECT_EQ(static_cast<int>(e.kind), static_cast<int>(c.kind)) << "threads " << threads;
        EXPECT_EQ(e.line, c.line) << "threads " << threads;
        EXPECT_EQ(e.reason, c.reason) << describe(e.reason);
        if (c.kind != passes::failure::bad_line) break;  // the opening has no threads
    }
}

constexpr std::size_t held_first_line = passes::text_input::max_first_line_bytes;

INSTANTIATE_TEST_SUITE_P(
    lines, endless_line,
    ::testing::Values(
        endless_case{"data_line_wider_than_the_frame", "1 2\n3 4\n", "5 ", {},
                     passes::failure::bad_line, 3, error_kind::wrong_field_count, 64 << 20},
        endless_case{"data_line_of_commas", "1,2\n", ",", {}, passes::failure::bad_line, 2,
                     error_kind::wrong_field_count, 64 << 20},
        endless_case{"data_field_too_long", "1 2\n1 ", "7", opts("#"), passes::failure::bad_line,
                     2, error_kind::field_too_long, 64 << 20},
        endless_case{"first_line", "", "1 ", {}, passes::failure::no_memory, 1, error_kind::none,
                     held_first_line + 1},
        endless_case{"first_line_after_comments", "# a\n  # b\n", "1,", opts("#", 0, {}, true),
                     passes::failure::no_memory, 3, error_kind::none, held_first_line + 64},
        endless_case{"first_line_refused_in_its_start", "", "1 2 x", {},
                     passes::failure::bad_first_line, 1, error_kind::bad_character, 4 << 20},
        endless_case{"comment_line_before_the_data", "#", "#", opts("#"),
                     passes::failure::read_error, 0, error_kind::none,
                     held_first_line + (1 << 20)}),
    [](const auto& info) { return std::string(info.param.name); });

/// A random input for the options: header rows, comment lines (# or @), data lines with comment
/// tails, the comma delimiter's separators and now and then a fault.
std::string random_options_input(std::mt19937_64& rng, const text_options& options) {
    const bool comma = options.delimiter == delimiter::comma;
    std::string data;
    for (std::uint64_t r = 0; r < options.skip_rows; ++r) data += "h,x #\n";
    const int lines = 1 + static_cast<int>(rng() % 10);
    const int fields = 1 + static_cast<int>(rng() % 6);
    for (int line = 0; line < lines; ++line) {
        if (rng() % 5 == 0) {
            data += rng() % 2 ? "# note, 1 2\n" : "  @ x\n";
            continue;
        }
        if (rng() % 30 == 0) data += "\n";
        const int n = rng() % 15 == 0 ? 1 + static_cast<int>(rng() % 8) : fields;
        for (int k = 0; k < n; ++k) {
            data += random_field(rng);
            if (k + 1 < n) data += comma ? (rng() % 4 ? "," : " , ") : random_separator(rng);
        }
        if (rng() % 6 == 0) data += rng() % 2 ? " # tail" : "@";
        if (rng() % 40 == 0) data.insert(rng() % (data.size() + 1), rng() % 2 ? "," : " ");
        if (line + 1 < lines || rng() % 2) data += rng() % 5 == 0 ? "\r\n" : "\n";
    }
    return data;
}

TEST_F(reader_test, random_inputs_with_options_match_the_reference_and_the_chunk_parser) {
    std::mt19937_64 rng(77);
    int failures = 0;
    for (int i = 0; i < 1500 && failures < 5; ++i) {
        text_options options;
        if (rng() % 3) options.comments = rng() % 2 ? "#" : "#@";
        if (rng() % 3 == 0) options.delimiter = delimiter::comma;
        options.skip_rows = rng() % 4 == 0 ? 1 + rng() % 2 : 0;
        for (std::size_t k = rng() % 3 == 0 ? rng() % 4 : 0; k > 0; --k)
            options.usecols.push_back(static_cast<long long>(rng() % 9) - 4);
        const std::string data = random_options_input(rng, options);
        const walk expected = reference_walk(data, options);
        const std::size_t buffer = 1 + rng() % 64;
        const walk got = fast_walk(data, options, buffer, 1 + rng() % 16);
        const walk chunked = chunk_walk(data, options, {rng() % (data.size() + 1)}, 1 + rng() % 4,
                                        all_chunk_builds[rng() % 3]);
        const walk batched =
            batches_walk(data, options, 1 + rng() % 64, 1 + rng() % 16, 1 + rng() % 32,
                         1 + rng() % 3);
        if (!(got == expected) || !(chunked == expected) || !(batched == expected)) {
            ++failures;
            ADD_FAILURE() << "input \"" << printable(data) << "\" comments \"" << options.comments
                          << "\" usecols " << options.usecols.size() << " buffer " << buffer
                          << "\n  reference" << expected << "\n  reader" << got << "\n  chunks"
                          << chunked << "\n  batches" << batched;
        }
    }
    EXPECT_EQ(failures, 0);
}

TEST_F(reader_test, option_checks_refuse_what_would_read_as_data) {
    for (const char* bad : {"#1", "e", ".", " ", "\t", ",", "\n"})
        EXPECT_NE(validate(opts(bad)), nullptr) << printable(bad);
    EXPECT_NE(validate(opts("#\0"s)), nullptr);
    for (const char* good : {"", "#", "#@!%;", "\xa7"}) EXPECT_EQ(validate(opts(good)), nullptr);
}

// --- Number fields of every shape, read by all routes against the reference (atof, which is
// strtod in the C locale), bit for bit. LAGSTAT_SHAPE_FIELDS sets the fields per shape (20000
// by default; tens of millions for a run by hand). ---

/// How a shape's fields are made: [sign] [zeros] prefix digits [. digits] [exponent], the digit
/// counts drawn from the ranges, at most max_digits after the prefix; pad_to > 0 lengthens the
/// fraction until the field is pad_to, pad_to - 1 or pad_to - 2 characters long.
struct field_shape {
    const char* name;
    const char* prefix;
    int zeros_max, int_min, int_max, frac_min, frac_max;  // frac_min < 0: no point
    int max_digits;
    bool exponent;
    int pad_to;
    int width_max = 9;  // fields a line, 1 to this
    bool plus = true;   // '+' among the signs (a line with one is left by the whole-line kernel)
};

std::ostream& operator<<(std::ostream& os, const field_shape& s) {
    return os << s.name;
}

int draw(std::mt19937_64& rng, int lo, int hi) {
    return lo + static_cast<int>(rng() % static_cast<std::uint64_t>(hi - lo + 1));
}

std::string make_field(const field_shape& shape, std::mt19937_64& rng) {
    static const char* const signs[] = {"", "-", "", "+", "-", ""};
    auto digits = [&](std::string& s, int n) {
        for (int i = 0; i < n; ++i) s += static_cast<char>('0' + rng() % 10);
    };
    std::string s = signs[rng() % 6];
    if (!shape.plus && s == "+") s.clear();
    s.append(static_cast<std::size_t>(draw(rng, 0, shape.zeros_max)), '0');
    s += shape.prefix;
    const int int_digits = std::min(draw(rng, shape.int_min, shape.int_max), shape.max_digits);
    digits(s, int_digits);
    if (shape.frac_min >= 0) {
        s += '.';
        digits(s,
               std::min(draw(rng, shape.frac_min, shape.frac_max), shape.max_digits - int_digits));
        if (shape.pad_to > 0)
            digits(s, shape.pad_to - draw(rng, 0, 2) - static_cast<int>(s.size()));
    }
    if (shape.exponent) {
        s += rng() % 2 ? 'e' : 'E';
        s += signs[rng() % 6];
        s += std::to_string(rng() % 4 == 0 ? draw(rng, 280, 330) : draw(rng, 0, 30));
    }
    return s;
}

/// The walker over small buffers and reads, and parse_chunk on both kernels over spans cut at
/// the given bytes, against the reference.
void expect_reference_reads(const std::string& data, std::size_t lines,
                            const std::vector<std::size_t>& cuts, std::size_t buffer,
                            std::size_t chunk) {
    const walk expected = reference_walk(data, {});
    ASSERT_EQ(expected.error, error_kind::none);
    ASSERT_EQ(expected.calls.size(), lines + 1);  // every line a record, then the end
    ASSERT_TRUE(fast_walk(data, {}, buffer, chunk) == expected) << "buffer " << buffer;
    for (const chunk_build build : all_chunk_builds)
        ASSERT_TRUE(chunk_walk(data, {}, cuts, 64, build) == expected)
            << chunk_build_names[static_cast<int>(build)];
}

class field_shapes : public ::testing::TestWithParam<field_shape> {
protected:
    void SetUp() override { std::setlocale(LC_ALL, "C"); }
};

TEST_P(field_shapes, every_route_reads_as_the_reference) {
    const field_shape& shape = GetParam();
    std::mt19937_64 rng(std::hash<std::string>{}(shape.name));
    const char* env = std::getenv("LAGSTAT_SHAPE_FIELDS");
    const std::size_t total = env != nullptr ? std::strtoull(env, nullptr, 10) : 20000;
    for (std::size_t done = 0; done < total;) {
        const int width = draw(rng, 1, shape.width_max);
        // Batches that the walker's buffer holds whole (chunk_walk parses what it holds).
        static const char* const separators[] = {" ", " ", " ", "\t", ",", ", ", "  ", "\t "};
        std::string data;
        std::size_t lines = 0;
        for (; lines == 0 || (done < total && data.size() < 262144); ++lines) {
            for (int k = 0; k < width; ++k)
                data += make_field(shape, rng) + (k + 1 < width ? separators[rng() % 8]
                                                  : rng() % 8   ? "\n"
                                                                : "\r\n");
            done += static_cast<std::size_t>(width);
        }
        // Cuts anywhere, a line's bytes included, at most a few thousand bytes apart.
        std::vector<std::size_t> cuts;
        for (std::size_t at = rng() % 64; at < data.size(); at += 1 + rng() % 4096)
            cuts.push_back(at);
        expect_reference_reads(data, lines, cuts, 16 + rng() % 600, 1 + rng() % 97);
        if (HasFatalFailure()) return;
    }
}

// name, prefix, zeros, integer digits, fraction digits, digits at most, exponent, length.
INSTANTIATE_TEST_SUITE_P(
    shapes, field_shapes,
    ::testing::Values(field_shape{"fixed6", "", 0, 1, 5, 6, 6, 99, false, 0},
                      field_shape{"short", "", 0, 0, 8, 0, 8, 99, false, 0},
                      field_shape{"short_integers", "", 0, 1, 8, -1, -1, 99, false, 0},
                      field_shape{"long_fraction", "", 0, 1, 4, 9, 15, 99, false, 0},
                      field_shape{"up_to_17_digits", "", 0, 0, 17, 0, 17, 17, false, 0},
                      field_shape{"long_integers", "", 0, 9, 20, -1, -1, 99, false, 0},
                      field_shape{"around_2_to_the_53", "900719925474", 0, 0, 5, 0, 5, 5, false, 0},
                      field_shape{"leading_zeros", "", 20, 0, 3, 0, 16, 99, false, 0},
                      field_shape{"many_digits", "", 2, 8, 24, 8, 24, 99, false, 0},
                      field_shape{"exponents", "", 1, 0, 3, 0, 17, 99, true, 0},
                      field_shape{"longest_fields", "", 0, 1, 120, 0, 0, 99, false, 256},
                      // The whole-line kernel: lines over several 64-byte windows, up to 32
                      // fields a window, and its limits of 8 + 8 and 15 digits.
                      field_shape{"wide_lines", "", 0, 1, 8, 1, 8, 15, false, 0, 40, false},
                      field_shape{"one_digit_fields", "", 0, 1, 1, -1, -1, 99, false, 0, 90, false},
                      field_shape{"kernel_limits", "", 0, 6, 9, 6, 9, 17, false, 0, 12, false}),
    [](const ::testing::TestParamInfo<field_shape>& info) { return info.param.name; });

// Fields at the kernels' limits (16 and 32 bytes, 8, 16 and 19 digits, 2^53 and 2^53 + 1, what
// follows a field), at a line's start, inside and at its end, the last one at the input's end,
// with the input cut at every byte.
TEST_F(reader_test, fields_at_the_kernel_limits_read_as_the_reference_at_every_cut) {
    const std::string limits =
        "-12345678.12345678 12345678.123456 123456789.123456 0.123456789012345 "
        "+.1234567890123456 9007199254740992 9007199254740993 -9007199254740993 "
        "0.9007199254740992 0.9007199254740993 900719925474099.25 1234567890123456789 "
        "12345678901234567890 0.0000000000000000001 0.00000000000000000001 "
        "-0.000000000000000000 0000000000000000000000000000001 "
        "00000000000000000000000000000001 1234567890123.45678901234 1.00000000000000022204 "
        "1.0000000000000002220e5 4.35679178024296e-05 1.123456789012345-3 1.1234567890123456.7 "
        "123456789012345678. -.0000000000000001 0.1000000000000000055511151231257827 "
        "1.2.3 -1.5.0 12-3 1..2 --1 -.5 5. - . 1.5-";
    std::string data;
    std::size_t lines = 0;
    for (std::size_t at = 0; at < limits.size(); ++lines) {
        const std::size_t stop = std::min(limits.find(' ', at), limits.size());
        data += limits.substr(at, stop - at) + " -2.5\t" + limits.substr(at, stop - at) + "\n";
        at = stop + 1;
    }
    data.pop_back();
    for (std::size_t cut = 0; cut <= data.size(); ++cut) {
        expect_reference_reads(data, lines, {cut}, 64, 1 + cut % 61);
        if (HasFatalFailure()) return;
    }
}

#if defined(__SSE2__)
TEST_F(reader_test, portable_masks_are_the_wide_ones) {
    std::mt19937_64 rng(9);
    static const char alphabet[] = "0123456789..+-eE /:\x80\xff";
    char window[16];
    for (int i = 0; i < 200000; ++i) {
        for (char& b : window) b = rng() % 4 ? alphabet[rng() % 21] : static_cast<char>(rng());
        unsigned d1, p1, d2, p2;
        detail::sse2_masks::of(window, &d1, &p1);
        detail::portable_masks::of(window, &d2, &p2);
        ASSERT_EQ(d1, d2) << printable(std::string(window, 16));
        ASSERT_EQ(p1, p2) << printable(std::string(window, 16));
    }
}
#endif

}  // namespace
}  // namespace lagstat::text
