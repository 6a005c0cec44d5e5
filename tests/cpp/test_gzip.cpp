// Compressed input: streams made here with each format's own library, read back through
// detect_compression (gzip with both inflaters) and through the prefetch thread, over memory,
// pipes and sources that fail.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "source/byte_source.hpp"
#include "source/compressed_source.hpp"
#include "source/prefetch_source.hpp"
#include "harness/line_walker.hpp"

#if LAGSTAT_HAVE_COMPRESSION
#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

namespace lagstat::source {
namespace {

using harness::line_walker;

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

/// One stream of data in format; level 1 (fast) to 9 (best), mapped to the format's own scale
/// (xz stops at 6: beyond, only the dictionary grows, and every decoder would allocate 64 MiB).
/// zstd frames carry their checksum, as the zstd tool writes them.
std::string compress(compression format, const std::string& data, int level = 6) {
    std::string out(data.size() + data.size() / 50 + 1024, '\0');
    if (format == compression::gzip) return gzip_member(data, level, level % 2 == 1);
    if (format == compression::bzip2) {
        auto size = static_cast<unsigned>(out.size());
        EXPECT_EQ(BZ2_bzBuffToBuffCompress(out.data(), &size, const_cast<char*>(data.data()),
                                           static_cast<unsigned>(data.size()), level, 0, 0),
                  BZ_OK);
        out.resize(size);
    } else if (format == compression::xz) {
        std::size_t size = 0;
        EXPECT_EQ(lzma_easy_buffer_encode(static_cast<std::uint32_t>(std::min(level, 6)), LZMA_CHECK_CRC64,
                                          nullptr,
                                          reinterpret_cast<const std::uint8_t*>(data.data()),
                                          data.size(), reinterpret_cast<std::uint8_t*>(out.data()),
                                          &size, out.size()),
                  LZMA_OK);
        out.resize(size);
    } else {
        ZSTD_CCtx* cctx = ZSTD_createCCtx();
        ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, level * 2);
        ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1);
        const std::size_t size =
            ZSTD_compress2(cctx, out.data(), out.size(), data.data(), data.size());
        EXPECT_FALSE(ZSTD_isError(size)) << ZSTD_getErrorName(size);
        out.resize(size);
        ZSTD_freeCCtx(cctx);
    }
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

// --- Every format, decoded inline and on the prefetch thread. ---

struct codec {
    const char* name;
    compression format;
    inflater with;  // gzip's inflater
    bool threaded;
    std::size_t magic_size;  // bytes detection needs to see
    std::size_t check_size;  // last bytes of a stream that only a check covers
};

void PrintTo(const codec& c, std::ostream* os) {
    *os << c.name << (c.threaded ? " on the prefetch thread" : "");
}

class codec_test : public ::testing::TestWithParam<codec> {
protected:
    void SetUp() override {
        if (!have_inflater(GetParam().with)) GTEST_SKIP() << "built without ISA-L";
    }

    std::unique_ptr<byte_source> open(std::unique_ptr<byte_source> raw) const {
        auto src = detect_compression(std::move(raw), GetParam().with);
        EXPECT_NE(src, nullptr);
        return GetParam().threaded ? prefetch(std::move(src)) : std::move(src);
    }

    read_result decode(const std::string& input, std::size_t chunk, std::size_t cap = 4096) {
        auto src = open(std::make_unique<memory_source>(input.data(), input.size(), chunk));
        EXPECT_EQ(compression_of(*src), GetParam().format);
        return read_all(*src, cap);
    }

    std::string pack(const std::string& data, int level = 6) const {
        return compress(GetParam().format, data, level);
    }
};

TEST_P(codec_test, decodes_the_plain_bytes_however_the_input_is_cut) {
    const std::size_t unlimited = static_cast<std::size_t>(-1);
    for (std::size_t size : {0, 1, 999, 70000}) {
        const std::string text = number_text(size, static_cast<unsigned>(size));
        const std::string packed = pack(text, size % 2 == 0 ? 1 : 9);
        for (std::size_t chunk : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{7},
                                  std::size_t{64}, std::size_t{4096}, unlimited}) {
            const read_result r = decode(packed, chunk, chunk % 2 == 1 ? 1000 : 4096);
            ASSERT_EQ(r.last, 0) << size << " bytes by " << chunk << ": " << std::strerror(r.error);
            ASSERT_TRUE(r.bytes == text) << size << " bytes by " << chunk;
        }
    }
    // Longer than all prefetch buffers together, read with caps that straddle them.
    const std::string text = number_text(3300000, 2);
    for (std::size_t cap : {std::size_t{100003}, std::size_t{1} << 20}) {
        const read_result r = decode(pack(text, 1), 65537, cap);
        EXPECT_EQ(r.last, 0) << std::strerror(r.error);
        EXPECT_TRUE(r.bytes == text) << "got " << r.bytes.size() << " of " << text.size();
    }
}

TEST_P(codec_test, concatenated_streams_read_as_one) {
    const std::string text = number_text(5000, 7);
    for (std::size_t first = 0; first <= text.size(); first += 997) {
        const std::size_t second = first + (text.size() - first) / 3;
        const std::string packed = pack(text.substr(0, first), 9) + pack("") +
                                   pack(text.substr(first, second - first), 1) +
                                   pack(text.substr(second));
        for (std::size_t chunk : {1, 7, 4096}) {
            const read_result r = decode(packed, chunk, chunk * 3 + 1);
            ASSERT_EQ(r.last, 0) << "boundaries " << first << ", " << second << ": "
                                 << std::strerror(r.error);
            ASSERT_TRUE(r.bytes == text) << "boundaries " << first << ", " << second;
        }
    }
}

// What may follow a complete stream: each format's own tool decides.
struct trailer_case {
    const char* what;
    std::string (*suffix)(const std::string& stream);
    int gzip, bzip2, xz, zstd;  // errno, or 0 for success (the suffix then adds nothing)
};

const trailer_case trailer_cases[] = {
    {"three zeros", [](const std::string&) { return std::string(3, '\0'); }, 0, EILSEQ, EILSEQ,
     EILSEQ},
    {"eight zeros", [](const std::string&) { return std::string(8, '\0'); }, 0, EILSEQ, 0, EILSEQ},
    {"text", [](const std::string&) { return std::string("1 2\n3 4\n5 6\n7 8\n"); }, EILSEQ,
     EILSEQ, EILSEQ, EILSEQ},
    {"zeros, then text",
     [](const std::string&) { return std::string(4, '\0') + "1 2\n3 4\n5 6\n7 8\n"; }, EILSEQ,
     EILSEQ, EILSEQ, EILSEQ},
    {"a lone first magic byte", [](const std::string& s) { return s.substr(0, 1); }, EIO, EIO,
     EIO, EIO},
};

TEST_P(codec_test, bytes_after_a_stream) {
    const std::string text = "1.5 2.5\n-3 4e2\n";
    const std::string stream = pack(text);
    for (const trailer_case& t : trailer_cases) {
        const int want = GetParam().format == compression::gzip    ? t.gzip
                         : GetParam().format == compression::bzip2 ? t.bzip2
                         : GetParam().format == compression::xz    ? t.xz
                                                                   : t.zstd;
        for (std::size_t chunk : {1, 4096}) {
            const read_result r = decode(stream + t.suffix(stream), chunk);
            EXPECT_EQ(r.error, want) << t.what << ": " << std::strerror(r.error);
            EXPECT_EQ(r.last, want == 0 ? 0 : -1) << t.what;
            EXPECT_EQ(r.bytes, text) << t.what;  // the stream's data come out first
        }
    }
    // A further stream after padding: xz allows it, gzip's tool and ours stop at the padding.
    const read_result r = decode(stream + std::string(4, '\0') + stream, 7);
    if (GetParam().format == compression::xz) {
        EXPECT_EQ(r.last, 0);
        EXPECT_EQ(r.bytes, text + text);
    } else {
        EXPECT_EQ(r.error, EILSEQ);
    }
}

// A stream cut anywhere inside fails; it never ends as if complete.
TEST_P(codec_test, every_cut_fails_with_eio_after_a_prefix) {
    const std::string text = number_text(3000, 5);
    const std::string lead = pack("0 0\n");
    const std::string whole = lead + pack(text, 9);
    const std::string expected = "0 0\n" + text;
    // A cut inside the magic leaves plain text, and one after the leading stream a complete file.
    for (std::size_t cut = GetParam().magic_size; cut < whole.size(); ++cut) {
        if (cut == lead.size()) continue;
        const read_result r = decode(whole.substr(0, cut), cut % 2 == 0 ? 1 : 4096, 1000);
        ASSERT_EQ(r.last, -1) << "cut at " << cut << " of " << whole.size();
        ASSERT_EQ(r.error, EIO) << "cut at " << cut << ": " << std::strerror(r.error);
        ASSERT_EQ(expected.compare(0, r.bytes.size(), r.bytes), 0) << "cut at " << cut;
    }
}

// Every byte after the magic is checked: flipping any one is a failure.
TEST_P(codec_test, every_flipped_byte_fails) {
    const std::string stream = pack(number_text(2000, 11), 9);
    for (std::size_t at = GetParam().magic_size; at < stream.size(); ++at) {
        std::string bad = stream;
        bad[at] = static_cast<char>(bad[at] ^ 0xff);
        const read_result r = decode(bad, at % 2 == 0 ? 1 : 4096);
        ASSERT_EQ(r.last, -1) << "byte " << at << " of " << stream.size();
        // A damaged length or size field can also leave the decoder waiting for more input,
        // and a damaged zstd window size can ask for more memory than allowed.
        ASSERT_TRUE(r.error == EILSEQ || r.error == EIO ||
                    (r.error == ENOMEM && GetParam().format == compression::zstd))
            << "byte " << at << ": " << std::strerror(r.error);
        if (at + GetParam().check_size >= stream.size()) {
            ASSERT_EQ(r.error, EILSEQ) << "check byte " << at;
        }
    }
}

// A failing read of the compressed input passes its own errno through, after the data before it.
TEST_P(codec_test, failing_input_keeps_its_errno) {
    const std::string text = number_text(200000, 13);
    const std::string stream = pack(text);
    for (std::size_t kept : {GetParam().magic_size, stream.size() / 2, stream.size()}) {
        auto src = open(std::make_unique<failing_source>(stream.substr(0, kept), 4096, ENXIO));
        const read_result r = read_all(*src, 4096);
        EXPECT_EQ(r.last, -1) << kept;  // a whole stream too: more streams might follow
        EXPECT_EQ(r.error, ENXIO) << kept;
        EXPECT_EQ(text.compare(0, r.bytes.size(), r.bytes), 0) << kept;
        if (kept == stream.size()) {
            EXPECT_EQ(r.bytes.size(), text.size());
        }
        EXPECT_EQ(decoder_error_message(*src), nullptr) << kept;
    }
}

// Failures on the decoder's own grounds carry a text, and stay.
TEST_P(codec_test, failures_carry_a_text_and_stay) {
    const std::string stream = pack("1 2\n");
    for (const std::string& bad : {stream.substr(0, stream.size() - 1), stream + "1 2\n3 4\n5 6\n"
                                                                                  "7 8\n"}) {
        auto src = open(std::make_unique<memory_source>(bad.data(), bad.size()));
        const read_result r = read_all(*src, 4096);
        ASSERT_EQ(r.last, -1);
        EXPECT_NE(decoder_error_message(*src), nullptr) << std::strerror(r.error);
        char byte;
        EXPECT_EQ(src->read(&byte, 1), -1);
        EXPECT_EQ(src->error_number(), r.error);
    }
}

// Pipes: no seeking, and the first bytes may come one at a time.
TEST_P(codec_test, reads_through_a_pipe) {
    struct sigaction ignore {};
    struct sigaction saved {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &saved);
    const std::string text = number_text(1 << 20, 3);
    for (const std::string& input : {pack(text.substr(0, 1000)) + pack(text.substr(1000)), text}) {
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        std::thread writer([&input, fd = fds[1]] {
            std::size_t pos = 0;
            std::size_t piece = 1;
            while (pos < input.size()) {
                const ssize_t w = ::write(fd, input.data() + pos, std::min(piece, input.size() - pos));
                if (w <= 0) break;
                pos += static_cast<std::size_t>(w);
                if (pos < 12) ::usleep(2000);  // let the reader see one byte at a time
                piece = pos < 12 ? 1 : piece * 3 + 1;
            }
            ::close(fd);
        });
        auto src = open(std::make_unique<fd_source>(fds[0]));
        const read_result r = read_all(*src, 1 << 16);
        src.reset();  // a reader that stopped early must not leave the writer blocked
        writer.join();
        EXPECT_EQ(r.last, 0) << std::strerror(r.error);
        EXPECT_TRUE(r.bytes == text);
    }
    ::sigaction(SIGPIPE, &saved, nullptr);
}

std::vector<std::vector<double>> all_records(byte_source& src, int& last) {
    line_walker reader(src, 4099);
    std::vector<std::vector<double>> records;
    std::vector<double> values;
    while ((last = reader.read_record(values)) > 0) records.push_back(values);
    return records;
}

TEST_P(codec_test, same_records_as_plain_text) {
    const std::string text = number_text(400000, 17) + "\n";  // a whole last line, then the end
    const std::string packed = pack(text.substr(0, 123457)) + pack(text.substr(123457));
    memory_source plain(text.data(), text.size(), 1000);
    int plain_last = 1;
    const auto expected = all_records(plain, plain_last);
    ASSERT_GT(expected.size(), 1000u);
    // Compressed input, and plain input through detection (whose first read gives the peeked
    // bytes back).
    for (const std::string* input : {&packed, &text}) {
        auto src = open(std::make_unique<memory_source>(input->data(), input->size(), 1000));
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

constexpr auto gz = compression::gzip;
constexpr auto zlib = inflater::zlib;
constexpr auto isal = inflater::isal;

INSTANTIATE_TEST_SUITE_P(
    formats, codec_test,
    ::testing::Values(codec{"gzip (zlib)", gz, zlib, false, 2, 8},
                      codec{"gzip (zlib)", gz, zlib, true, 2, 8},
                      codec{"gzip (ISA-L)", gz, isal, false, 2, 8},
                      codec{"gzip (ISA-L)", gz, isal, true, 2, 8},
                      codec{"bzip2", compression::bzip2, zlib, false, 10, 4},
                      codec{"bzip2", compression::bzip2, zlib, true, 10, 4},
                      codec{"xz", compression::xz, zlib, false, 6, 12},
                      codec{"xz", compression::xz, zlib, true, 6, 12},
                      codec{"zstd", compression::zstd, zlib, false, 4, 4},
                      codec{"zstd", compression::zstd, zlib, true, 4, 4}));

// --- Detection: what is not compressed is given back unchanged, the peeked bytes included. ---

class not_compressed : public ::testing::TestWithParam<std::string> {};

TEST_P(not_compressed, replays_the_input) {
    const std::string& input = GetParam();
    for (std::size_t chunk : {1, 2, 3, 4096}) {
        for (std::size_t cap : {1, 2, 4096}) {
            auto src = detect_compression(
                std::make_unique<memory_source>(input.data(), input.size(), chunk));
            EXPECT_FALSE(is_compressed_source(*src));
            const read_result r = read_all(*src, cap);
            EXPECT_EQ(r.last, 0);
            EXPECT_EQ(r.bytes, input) << "chunk " << chunk << ", cap " << cap;
            EXPECT_EQ(src->read(nullptr, 0), 0);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    plain_inputs, not_compressed,
    ::testing::Values(std::string(), std::string("\x1f"), std::string("1"),
                      std::string("\x1f\x8c rest"), std::string("\x8b\x1f"),
                      std::string("\x1f\x1f\x8b"), std::string(" 1 2\n3 4\n"),
                      std::string("BZh91AY&S"), std::string("BZh9 1 2 3 4 5\n"),
                      std::string("BZh01AY&SY"), std::string("BZh91AY&SX"),
                      std::string("\xfd" "7zXZ"), std::string("\xfd" "7zXZ\x01\x02"),
                      std::string("\x28\xb5\x2f"), std::string("\x28\xb5\x2f\xfe"),
                      std::string("\x60\x2a\x4d\x18"), std::string("\x4f\x2a\x4d\x18")));

// A failed read while peeking is reported by the first read, after the bytes peeked before it.
TEST(compressed_peek, a_failed_first_read_comes_after_the_peeked_bytes) {
    for (const std::string& data : {std::string(), std::string("\x1f"), std::string("7 8\n"),
                                    std::string("BZh91AY")}) {
        auto src = detect_compression(std::make_unique<failing_source>(data, 1, ENXIO));
        const read_result r = read_all(*src, 4096);
        EXPECT_EQ(r.last, -1);
        EXPECT_EQ(r.error, ENXIO);
        EXPECT_EQ(r.bytes, data);
    }
}

// A zstd skippable frame is detected, skipped, and may sit between frames.
TEST(compressed_zstd, skippable_frames_are_skipped) {
    const std::string skippable = std::string("\x5e\x2a\x4d\x18\x03\0\0\0abc", 11);
    const std::string input = skippable + compress(compression::zstd, "1 2\n") + skippable +
                              compress(compression::zstd, "3 4\n");
    auto src = detect_compression(std::make_unique<memory_source>(input.data(), input.size(), 3));
    EXPECT_EQ(compression_of(*src), compression::zstd);
    const read_result r = read_all(*src, 4096);
    EXPECT_EQ(r.last, 0);
    EXPECT_EQ(r.bytes, "1 2\n3 4\n");
}

// --- The two gzip inflaters check the same things and fail with the same errno. ---

struct bad_gzip_case {
    const char* what;
    std::string input;
    int error;
};

void PrintTo(const bad_gzip_case& c, std::ostream* os) {
    *os << c.what;
}

class gzip_bad_header : public ::testing::TestWithParam<bad_gzip_case> {};

TEST_P(gzip_bad_header, both_inflaters_refuse_it) {
    const auto& c = GetParam();
    for (inflater with : {inflater::zlib, inflater::isal}) {
        if (!have_inflater(with)) continue;
        auto src = detect_compression(
            std::make_unique<memory_source>(c.input.data(), c.input.size(), 1), with);
        const read_result r = read_all(*src, 4096);
        EXPECT_EQ(r.error, c.error) << c.what << ": " << std::strerror(r.error);
        EXPECT_EQ(r.bytes, "") << c.what;
    }
}

std::string with_byte(std::string s, std::size_t at, char value) {
    s[at] = value;
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    cases, gzip_bad_header,
    ::testing::Values(
        bad_gzip_case{"magic only", "\x1f\x8b", EIO},
        bad_gzip_case{"unknown method", with_byte(gzip_member("1 2\n"), 2, 7), EILSEQ},
        bad_gzip_case{"reserved flag", with_byte(gzip_member("1 2\n"), 3, 0x20), EILSEQ},
        bad_gzip_case{"text after magic", "\x1f\x8b 1 2 3\n4 5 6\n", EILSEQ},
        bad_gzip_case{"header crc", with_byte(gzip_member("1 2\n", 6, true), 4, 1), EILSEQ}));

// On the same damaged or cut input, ISA-L fails exactly where zlib does.
TEST(gzip_inflaters, agree_on_every_damaged_and_cut_member) {
    if (!have_inflater(inflater::isal)) GTEST_SKIP() << "built without ISA-L";
    const std::string member = gzip_member(number_text(3000, 19), 6, true);
    for (std::size_t at = 2; at < 2 * member.size(); ++at) {
        const std::string bad = at < member.size() ? with_byte(member, at, member[at] ^ 0x55)
                                                   : member.substr(0, at - member.size());
        read_result r[2];
        for (int i = 0; i < 2; ++i) {
            auto src = detect_compression(
                std::make_unique<memory_source>(bad.data(), bad.size(), at % 3 == 0 ? 1 : 4096),
                i == 0 ? inflater::zlib : inflater::isal);
            r[i] = read_all(*src, 4096);
        }
        ASSERT_EQ(r[0].last, r[1].last) << "case " << at;
        ASSERT_EQ(r[0].error, r[1].error) << "case " << at;
    }
}

// --- The prefetch thread: interruptible waits, prompt stops, signals left to the reader. ---

std::atomic<int> interrupt_asked{0};
bool interrupt_on_third_ask() noexcept {
    return ++interrupt_asked >= 3;
}

TEST(prefetch, a_waiting_read_asks_the_interrupt_check_and_stops) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    interrupt_asked = 0;
    auto src = prefetch(std::make_unique<fd_source>(fds[0]), interrupt_on_third_ask);
    char buf[16];
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(src->read(buf, sizeof buf), -1);  // nothing written: waits, asks, stops
    EXPECT_EQ(src->error_number(), EINTR);
    EXPECT_GE(interrupt_asked.load(), 3);
    // Destruction stops the worker, though the writer keeps the pipe open and silent.
    src.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    ::close(fds[1]);
}

std::atomic<bool> handled_on_worker{false};
pthread_t reader_thread;
void note_handler_thread(int) {
    if (!pthread_equal(pthread_self(), reader_thread)) handled_on_worker = true;
}

TEST(prefetch, signals_reach_the_reading_thread_only) {
    struct sigaction handler {};
    struct sigaction saved {};
    handler.sa_handler = note_handler_thread;
    ::sigaction(SIGUSR1, &handler, &saved);
    reader_thread = pthread_self();
    handled_on_worker = false;
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const std::string packed = compress(compression::zstd, number_text(100000, 23));
    ASSERT_EQ(::write(fds[1], packed.data(), 100), 100);
    auto src = prefetch(detect_compression(std::make_unique<fd_source>(fds[0])));
    for (int i = 0; i < 20; ++i) {  // the worker waits on the pipe meanwhile
        ::kill(::getpid(), SIGUSR1);
        ::usleep(1000);
    }
    ASSERT_EQ(::write(fds[1], packed.data() + 100, packed.size() - 100),
              static_cast<ssize_t>(packed.size() - 100));
    ::close(fds[1]);
    const read_result r = read_all(*src, 4096);
    EXPECT_EQ(r.last, 0);
    EXPECT_EQ(r.bytes.size(), 100000u);
    EXPECT_FALSE(handled_on_worker.load());
    ::sigaction(SIGUSR1, &saved, nullptr);
}

}  // namespace
}  // namespace lagstat::source

#endif  // LAGSTAT_HAVE_COMPRESSION
