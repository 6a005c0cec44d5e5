// Fuzz target: arbitrary bytes read by the record reader and by the literal reference reader
// (getc/ungetc over stdio, atof) must give the same results line by line: the same counts and the
// same values, bit for bit, up to and including the first failure.
//
// Input: three parameter bytes, then the text.
//   byte 0: the reader's buffer size (1..48 bytes, so that lines and fields straddle refills, or
//           4 KiB, which holds any input the fuzzer makes whole);
//   byte 1: the largest read the byte source hands out at once (1..64 bytes, or unlimited);
//   byte 2: the capacity of the fixed-capacity walk (0: counting mode, 1..9: filling mode) in
//           its last decimal digit; the parity of the rest picks gzip's inflater (zlib, ISA-L).
// Three walks over the text:
//   1. as the passes read: the first line counted with its values kept, every later line filled
//      into a record of that many fields (the reference counts, rewinds and reads it again);
//   2. every line with the fixed capacity of byte 2;
//   3. walk 2 through detection of compressed input: plain text must read the same; data with
//      the magic of gzip, bzip2, xz or zstd only have to decode without a fault and stop.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "input/byte_source.hpp"
#include "input/compressed_source.hpp"
#include "input/record_reader.hpp"
#include "reference/reference_reader.hpp"

namespace {

using lagstat::input::memory_source;
using lagstat::input::record_reader;

constexpr int max_capacity = 9;

[[noreturn]] void fail(const char* what, int line, int got, int want) {
    std::fprintf(stderr, "reader mismatch (%s) at line %d: got %d, reference %d\n", what, line, got,
                 want);
    std::abort();
}

void compare_values(const char* what, int line, const double* got, const double* want, int count) {
    if (count <= 0 || std::memcmp(got, want, sizeof(double) * static_cast<std::size_t>(count)) == 0)
        return;
    for (int i = 0; i < count; ++i) {
        if (std::memcmp(&got[i], &want[i], sizeof(double)) != 0) {
            std::fprintf(stderr,
                         "reader mismatch (%s) at line %d, field %d: got %a, reference %a\n", what,
                         line, i, got[i], want[i]);
            break;
        }
    }
    std::abort();
}

/// The text as a stdio stream for the reference reader.
std::FILE* open_text(const char* text, std::size_t size) {
    std::FILE* f =
        size == 0 ? std::fopen("/dev/null", "r") : fmemopen(const_cast<char*>(text), size, "r");
    if (f == nullptr) {
        std::perror("fuzz_reader: cannot open the text as a stream");
        std::abort();
    }
    return f;
}

/// Walk 1: the first line counted and kept, then every line filled with its count.
void walk_as_passes(const char* text, std::size_t size, std::size_t buffer, std::size_t chunk) {
    memory_source src(text, size, chunk);
    record_reader reader(src, buffer);
    std::vector<double> first;
    const int columns = reader.read_record(first);
    if (columns > 0 && first.size() != static_cast<std::size_t>(columns))
        fail("kept values", 1, static_cast<int>(first.size()), columns);

    std::FILE* f = open_text(text, size);
    const int ref_columns = lagstat::reference::read_record(f, nullptr, 0);
    if (columns != ref_columns) fail("first line count", 1, columns, ref_columns);
    if (columns > 0) {
        std::rewind(f);
        std::vector<double> got(static_cast<std::size_t>(columns));
        std::vector<double> want(static_cast<std::size_t>(columns));
        const int again = lagstat::reference::read_record(f, want.data(), columns);
        if (again != columns) fail("first line read again", 1, columns, again);
        compare_values("kept first line", 1, first.data(), want.data(), columns);
        for (int line = 2;; ++line) {
            const int r = reader.read_record(got.data(), columns);
            const int ref = lagstat::reference::read_record(f, want.data(), columns);
            if (r != ref) fail("filling", line, r, ref);
            compare_values("filling", line, got.data(), want.data(), r);
            if (r <= 0) break;
        }
    }
    std::fclose(f);
}

/// Walks 2 and 3: every line with one capacity, through src. With check false only the reader's
/// own soundness is tested (the sanitizers watch it).
void walk_fixed(lagstat::input::byte_source& src, const char* text, std::size_t size,
                std::size_t buffer, int capacity, bool check) {
    record_reader reader(src, buffer);
    double got[max_capacity] = {};
    double want[max_capacity] = {};
    std::FILE* f = check ? open_text(text, size) : nullptr;
    for (int line = 1;; ++line) {
        const int r = reader.read_record(got, capacity);
        if (check) {
            const int ref = lagstat::reference::read_record(f, want, capacity);
            if (r != ref) fail(capacity > 0 ? "fixed capacity" : "counting", line, r, ref);
            if (capacity > 0) compare_values("fixed capacity", line, got, want, r);
        }
        if (r <= 0) break;
        if (!check && static_cast<std::uint64_t>(line) != reader.line_number())
            fail("line number", line, static_cast<int>(reader.line_number()), line);
    }
    if (f != nullptr) std::fclose(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const std::size_t buffer = data[0] < 192 ? 1 + data[0] % 48 : 4096;
    const std::size_t chunk = data[1] < 192 ? 1 + data[1] % 64 : static_cast<std::size_t>(-1);
    const int capacity = data[2] % (max_capacity + 1);
    const auto inflater = data[2] / (max_capacity + 1) % 2 == 0 ? lagstat::input::inflater::zlib
                                                                  : lagstat::input::inflater::isal;
    const char* text = reinterpret_cast<const char*>(data + 3);
    const std::size_t length = size - 3;

    walk_as_passes(text, length, buffer, chunk);
    {
        memory_source src(text, length, chunk);
        walk_fixed(src, text, length, buffer, capacity, true);
    }
    auto src = lagstat::input::detect_compression(
        std::make_unique<memory_source>(text, length, chunk), inflater);
    if (src == nullptr) std::abort();
    const bool compressed = lagstat::input::is_compressed_source(*src);
    walk_fixed(*src, text, length, buffer, capacity, !compressed);
    return 0;
}
