// Transparent gzip input: members made here with zlib's own deflate, read back through
// detect_gzip over memory, pipes and sources that fail.
#include <signal.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "input/byte_source.hpp"
#include "input/gzip_source.hpp"
#include "input/record_reader.hpp"

#if LAGSTAT_HAVE_ZLIB

namespace lagstat::input {
namespace {

/// One gzip member of data. With named set, the header carries a name, a comment, an extra
/// field and a header CRC, so that every header byte is checked.
std::string gzip_member(const std::string& data, int level = 6, bool named = false) {
    z_stream zs{};
    EXPECT_EQ(deflateInit2(&zs, level, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
    char name[] = "frames.txt";
    char comment[] = "made by test_gzip";
    unsigned char extra[] = {'L', 'S', 2, 0, 7, 9};
    gz_header header{};
    if (named) {
        header.name = reinterpret_cast<Bytef*>(name);
        header.comment = reinterpret_cast<Bytef*>(comment);
        header.extra = extra;
        header.extra_len = sizeof extra;
        header.hcrc = 1;
        header.os = 3;
        EXPECT_EQ(deflateSetHeader(&zs, &header), Z_OK);
    }
    std::string out(deflateBound(&zs, data.size()) + 64, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    zs.avail_in = static_cast<uInt>(data.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

/// Lines of '%.6f' numbers, as the tabulated format has them.
std::string number_text(std::size_t size, unsigned seed = 1) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> value(-1000.0, 1000.0);
    std::string text;
    char field[64];
    while (text.size() < size) {
        for (int col = 0; col < 10; ++col) {
            std::snprintf(field, sizeof field, col == 0 ? "%.6f" : " %.6f", value(rng));
            text += field;
        }
        text += '\n';
    }
    text.resize(size);
    return text;
}

struct read_result {
    std::string bytes;
    long last;  // 0 (end) or -1 (failure)
    int error;
};

/// Everything src gives, read cap bytes at a time, up to its end or first failure.
read_result read_all(byte_source& src, std::size_t cap) {
    read_result r{{}, 0, 0};
    std::vector<char> buf(cap);
    for (;;) {
        const long n = src.read(buf.data(), cap);
        EXPECT_LE(n, static_cast<long>(cap));
        if (n <= 0) {
            r.last = n;
            r.error = n < 0 ? src.error_number() : 0;
            return r;
        }
        r.bytes.append(buf.data(), static_cast<std::size_t>(n));
    }
}

read_result read_detected(const std::string& input, std::size_t chunk, std::size_t cap) {
    auto src = detect_gzip(std::make_unique<memory_source>(input.data(), input.size(), chunk));
    EXPECT_NE(src, nullptr);
    return read_all(*src, cap);
}

/// Hands out its bytes, chunk at a time, then fails with an errno of its own.
class failing_source final : public byte_source {
public:
    failing_source(std::string data, std::size_t chunk, int error)
        : data_(std::move(data)), chunk_(chunk), error_(error) {}
    long read(char* buf, std::size_t cap) override {
        const std::size_t n = std::min({cap, chunk_, data_.size() - pos_});
        if (n == 0) {
            error_number_ = error_;
            return -1;
        }
        std::memcpy(buf, data_.data() + pos_, n);
        pos_ += n;
        return static_cast<long>(n);
    }

private:
    std::string data_;
    std::size_t chunk_;
    std::size_t pos_ = 0;
    int error_;
};

// --- Inflating gives the plain bytes exactly, however the input and output are cut. ---

struct round_trip_case {
    std::size_t size;
    int level;
    std::size_t chunk;  // bytes per read of the compressed input
    std::size_t cap;    // bytes per read of the output
};

void PrintTo(const round_trip_case& c, std::ostream* os) {
    *os << c.size << " bytes, level " << c.level << ", chunk " << c.chunk << ", cap " << c.cap;
}

class gzip_round_trip : public ::testing::TestWithParam<round_trip_case> {};

TEST_P(gzip_round_trip, gives_the_plain_bytes) {
    const auto& c = GetParam();
    const std::string text = number_text(c.size, static_cast<unsigned>(c.size));
    const std::string gz = gzip_member(text, c.level, c.size % 2 == 1);
    const read_result r = read_detected(gz, c.chunk, c.cap);
    EXPECT_EQ(r.last, 0) << std::strerror(r.error);
    EXPECT_TRUE(r.bytes == text) << "got " << r.bytes.size() << " of " << text.size() << " bytes";
}

INSTANTIATE_TEST_SUITE_P(
    sizes_and_chunks, gzip_round_trip,
    ::testing::Values(round_trip_case{0, 6, 1, 1}, round_trip_case{0, 6, 4096, 4096},
                      round_trip_case{1, 6, 1, 1}, round_trip_case{1, 9, 2, 7},
                      round_trip_case{999, 6, 1, 3}, round_trip_case{999, 0, 2, 1},
                      round_trip_case{4000, 1, 7, 4096}, round_trip_case{70000, 0, 7, 1000},
                      round_trip_case{300001, 9, 7, 65536},
                      round_trip_case{6u << 20, 6, std::size_t(-1), 1u << 20},
                      round_trip_case{3u << 20, 1, 7, 1u << 20},
                      round_trip_case{3u << 20, 6, 65537, 100003}));

// --- Concatenated members read as one stream, wherever the boundaries fall. ---

class gzip_members : public ::testing::TestWithParam<std::size_t> {};

TEST_P(gzip_members, read_as_one_stream) {
    const std::size_t chunk = GetParam();
    const std::string text = number_text(5000, 7);
    for (std::size_t first = 0; first <= text.size(); first += 97) {
        const std::size_t second = first + (text.size() - first) / 3;
        std::string gz = gzip_member(text.substr(0, first), 6, true) + gzip_member("") +
                         gzip_member(text.substr(first, second - first), 1) +
                         gzip_member(text.substr(second));
        const read_result r = read_detected(gz, chunk, chunk * 3 + 1);
        ASSERT_EQ(r.last, 0) << "boundaries " << first << ", " << second;
        ASSERT_TRUE(r.bytes == text) << "boundaries " << first << ", " << second;
        // Zero padding after the last member is ignored, as gzip(1) does.
        gz.append(1 + first % 700, '\0');
        const read_result padded = read_detected(gz, chunk, 4096);
        ASSERT_EQ(padded.last, 0) << "boundaries " << first << ", " << second;
        ASSERT_TRUE(padded.bytes == text) << "boundaries " << first << ", " << second;
    }
}

INSTANTIATE_TEST_SUITE_P(chunks, gzip_members, ::testing::Values(1, 2, 7, 4096));

// --- Pipes: no seeking, and the first bytes may come one at a time. ---

read_result read_through_pipe(const std::string& input) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    std::thread writer([&input, fd = fds[1]] {
        std::size_t pos = 0;
        std::size_t piece = 1;
        while (pos < input.size()) {
            const std::size_t n = std::min(piece, input.size() - pos);
            const ssize_t w = ::write(fd, input.data() + pos, n);
            if (w <= 0) break;
            pos += static_cast<std::size_t>(w);
            if (pos < 3) ::usleep(2000);  // let the reader see one byte at a time
            piece = piece * 3 + 1;
        }
        ::close(fd);
    });
    auto src = detect_gzip(std::make_unique<fd_source>(fds[0]));
    read_result r = read_all(*src, 1 << 16);
    src.reset();  // a reader that stopped early must not leave the writer blocked
    writer.join();
    return r;
}

TEST(gzip_pipe, gzip_and_plain_input_both_read) {
    struct sigaction ignore {};
    struct sigaction saved {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &saved);
    const std::string text = number_text(1 << 20, 3);
    const read_result gz = read_through_pipe(gzip_member(text.substr(0, 1000), 6, true) +
                                             gzip_member(text.substr(1000)));
    EXPECT_EQ(gz.last, 0);
    EXPECT_TRUE(gz.bytes == text);
    const read_result plain = read_through_pipe(text);
    EXPECT_EQ(plain.last, 0);
    EXPECT_TRUE(plain.bytes == text);
    ::sigaction(SIGPIPE, &saved, nullptr);
}

// --- Input that is not gzip is given back unchanged, the peeked bytes included. ---

class gzip_not_recognised : public ::testing::TestWithParam<std::string> {};

TEST_P(gzip_not_recognised, replays_the_input) {
    const std::string& input = GetParam();
    for (std::size_t chunk : {1, 2, 3, 4096}) {
        for (std::size_t cap : {1, 2, 4096}) {
            auto src =
                detect_gzip(std::make_unique<memory_source>(input.data(), input.size(), chunk));
            EXPECT_FALSE(is_gzip_source(*src));
            const read_result r = read_all(*src, cap);
            EXPECT_EQ(r.last, 0);
            EXPECT_EQ(r.bytes, input) << "chunk " << chunk << ", cap " << cap;
            EXPECT_EQ(src->read(nullptr, 0), 0);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(plain_inputs, gzip_not_recognised,
                         ::testing::Values(std::string(), std::string("\x1f"), std::string("1"),
                                           std::string("\x1f\x8c rest"), std::string("\x8b\x1f"),
                                           std::string("\x1f\x1f\x8b"),
                                           std::string(" 1 2\n3 4\n")));

// --- Bad input after the magic is a read failure with the documented errno. ---

struct bad_case {
    const char* what;
    std::string input;
    std::string good_prefix;  // bytes that must come out before the failure
    int error;
};

void PrintTo(const bad_case& c, std::ostream* os) {
    *os << c.what;
}

class gzip_bad_input : public ::testing::TestWithParam<bad_case> {};

TEST_P(gzip_bad_input, fails_after_the_good_data) {
    const auto& c = GetParam();
    for (std::size_t chunk : {1u, 7u, 1u << 20}) {
        auto src =
            detect_gzip(std::make_unique<memory_source>(c.input.data(), c.input.size(), chunk));
        ASSERT_TRUE(is_gzip_source(*src));
        const read_result r = read_all(*src, 4096);
        EXPECT_EQ(r.last, -1) << c.what;
        EXPECT_EQ(r.error, c.error) << c.what << ": " << std::strerror(r.error);
        EXPECT_EQ(r.bytes, c.good_prefix) << c.what;
        EXPECT_NE(gzip_error_message(*src), nullptr) << c.what;
        char byte;  // the failure stays
        EXPECT_EQ(src->read(&byte, 1), -1) << c.what;
        EXPECT_EQ(src->error_number(), c.error) << c.what;
    }
}

const std::string small_text = "1.5 2.5\n-3 4e2\n";
const std::string small_gz = gzip_member(small_text);

INSTANTIATE_TEST_SUITE_P(
    cases, gzip_bad_input,
    ::testing::Values(
        bad_case{"magic only", "\x1f\x8b", "", EIO},
        bad_case{"unknown method", std::string("\x1f\x8b\x07\0\0\0\0\0\0\3abc", 13), "", EILSEQ},
        bad_case{"text after magic", "\x1f\x8b 1 2 3\n4 5 6\n", "", EILSEQ},
        bad_case{"garbage after member", small_gz + "1 2\n", small_text, EILSEQ},
        bad_case{"member after padding", small_gz + std::string(3, '\0') + small_gz, small_text,
                 EILSEQ},
        bad_case{"garbage after padding", small_gz + std::string("\0\0x", 3), small_text, EILSEQ},
        bad_case{"lone magic byte after member", small_gz + "\x1f", small_text, EIO},
        bad_case{"magic after member", small_gz + "\x1f\x8b", small_text, EIO}));

// A stream cut anywhere inside a member fails; it never ends as if complete.
TEST(gzip_truncated, every_cut_fails_with_eio) {
    const std::string text = number_text(3000, 5);
    const std::string member = gzip_member(text, 6, true);
    const std::string first = gzip_member("0 0\n");
    for (const std::string& lead : {std::string(), first}) {
        const std::string whole = lead + member;
        // A cut exactly after the leading member leaves a complete file of one member, and a
        // cut after the lone byte 0x1f leaves a plain file: neither is a truncated stream.
        for (std::size_t cut = lead.empty() ? 2 : lead.size() + 1; cut < whole.size(); ++cut) {
            for (std::size_t chunk : {1, 4096}) {
                const read_result r = read_detected(whole.substr(0, cut), chunk, 1000);
                ASSERT_EQ(r.last, -1) << "cut at " << cut << " of " << whole.size();
                ASSERT_EQ(r.error, EIO) << "cut at " << cut;
                // What came out is a prefix of the data.
                const std::string expected = (lead.empty() ? "" : "0 0\n") + text;
                ASSERT_EQ(expected.compare(0, r.bytes.size(), r.bytes), 0) << "cut at " << cut;
            }
        }
    }
}

// Every byte of a member is checked: flipping any one (after the magic) is a failure.
TEST(gzip_corrupt, every_flipped_byte_fails) {
    const std::string text = number_text(2000, 11);
    const std::string member = gzip_member(text, 6, true);
    for (std::size_t at = 2; at < member.size(); ++at) {
        std::string bad = member;
        bad[at] = static_cast<char>(bad[at] ^ 0xff);
        const read_result r = read_detected(bad, at % 2 == 0 ? 1 : 4096, 4096);
        ASSERT_EQ(r.last, -1) << "byte " << at << " of " << member.size();
        // A damaged flag or length field can also leave the decoder waiting for more input.
        ASSERT_TRUE(r.error == EILSEQ || r.error == EIO) << "byte " << at << ": " << r.error;
        if (at + 8 >= member.size()) {
            ASSERT_EQ(r.error, EILSEQ) << "trailer byte " << at;
        }
    }
}

// --- A failing underlying read passes its own errno through. ---

struct raw_failure_case {
    std::string data;  // bytes before the failure
    std::size_t chunk;
    std::string expected;
};

void PrintTo(const raw_failure_case& c, std::ostream* os) {
    *os << c.data.size() << " bytes by " << c.chunk;
}

class gzip_raw_failure : public ::testing::TestWithParam<raw_failure_case> {};

TEST_P(gzip_raw_failure, keeps_the_errno) {
    const auto& c = GetParam();
    auto src = detect_gzip(std::make_unique<failing_source>(c.data, c.chunk, ENXIO));
    const read_result r = read_all(*src, 4096);
    EXPECT_EQ(r.last, -1);
    EXPECT_EQ(r.error, ENXIO);
    EXPECT_EQ(r.bytes, c.expected);
    EXPECT_EQ(gzip_error_message(*src), nullptr);
}

const std::string long_text = number_text(200000, 13);
const std::string long_gz = gzip_member(long_text);

INSTANTIATE_TEST_SUITE_P(cases, gzip_raw_failure,
                         ::testing::Values(raw_failure_case{"", 1, ""},
                                           raw_failure_case{"\x1f", 1, "\x1f"},
                                           raw_failure_case{"7 8\n", 1, "7 8\n"},
                                           raw_failure_case{"7 8\n", 2, "7 8\n"},
                                           raw_failure_case{"\x1f\x8b", 1, ""}));

TEST(gzip_raw_failure_partial, data_before_the_failure_is_a_prefix) {
    auto src = detect_gzip(
        std::make_unique<failing_source>(long_gz.substr(0, long_gz.size() - 1000), 4096, ENXIO));
    const read_result r = read_all(*src, 4096);
    EXPECT_EQ(r.last, -1);
    EXPECT_EQ(r.error, ENXIO);
    EXPECT_GT(r.bytes.size(), 0u);
    EXPECT_EQ(long_text.compare(0, r.bytes.size(), r.bytes), 0);
}

// --- Records read from gzip input equal those of the plain text. ---

std::vector<std::vector<double>> all_records(byte_source& src, int& last) {
    record_reader reader(src, 4099);
    std::vector<std::vector<double>> records;
    std::vector<double> values;
    while ((last = reader.read_record(values)) > 0) records.push_back(values);
    return records;
}

TEST(gzip_records, same_records_as_plain_text) {
    const std::string text = number_text(400000, 17) + "\n";  // a whole last line, then the end
    const std::string gz = gzip_member(text.substr(0, 123457)) + gzip_member(text.substr(123457));
    memory_source plain(text.data(), text.size(), 1000);
    int plain_last = 1;
    const auto expected = all_records(plain, plain_last);
    EXPECT_EQ(plain_last, 0);
    ASSERT_GT(expected.size(), 1000u);
    // Gzip input, and plain input through detect_gzip (whose first read gives the peeked bytes).
    for (const std::string* input : {&gz, &text}) {
        auto src = detect_gzip(std::make_unique<memory_source>(input->data(), input->size(), 1000));
        int last = 1;
        const auto got = all_records(*src, last);
        EXPECT_EQ(last, 0);
        ASSERT_EQ(got.size(), expected.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
            ASSERT_EQ(got[i].size(), expected[i].size()) << "record " << i;
            ASSERT_EQ(
                std::memcmp(got[i].data(), expected[i].data(), got[i].size() * sizeof(double)), 0)
                << "record " << i;
        }
    }
}

}  // namespace
}  // namespace lagstat::input

#endif  // LAGSTAT_HAVE_ZLIB
