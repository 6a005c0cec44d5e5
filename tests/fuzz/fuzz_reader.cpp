// Fuzz target: arbitrary bytes read by the line walker and by the literal reference reader
// (getc/ungetc over stdio, atof) must give the same results line by line: the same counts and the
// same values, bit for bit, up to and including the first failure; with text options also the
// same line numbers and reasons; and the chunk parser must give what the walker gives.
//
// Input: seven parameter bytes, then the text.
//   byte 0: the reader's buffer size (1..48 bytes, so that lines and fields straddle refills, or
//           4 KiB, which holds any input the fuzzer makes whole);
//   byte 1: the largest read the byte source hands out at once (1..64 bytes, or unlimited);
//   byte 2: the capacity of the fixed-capacity walk (0: counting mode, 1..9: filling mode) in
//           its last decimal digit; the parity of the rest picks gzip's inflater (zlib, ISA-L);
//   byte 3: text options: bits 0-1 the comment characters (none, "#", "#@", "!%"), bit 2 the
//           comma delimiter, bits 3-4 skip_rows, bits 5-6 the number of usecols;
//   bytes 4-6: the usecols, each byte % 9 - 4 (-4..4); bytes 5 and 6 also give walk 6 its piece
//           size and thread count.
// Six walks over the text:
//   1. as the passes read: the first line counted with its values kept, every later line filled
//      into a record of that many fields (the reference counts, rewinds and reads it again);
//   2. every line with the fixed capacity of byte 2;
//   3. walk 2 through detection of compressed input: plain text must read the same; data with
//      the magic of gzip, bzip2, xz or zstd only have to decode without a fault and stop;
//   4. with the options of bytes 3-6, as the passes read, against the literal option reader;
//   5. walk 4 again with the lines after the first data line parsed by parse_chunk (in turn from
//      cut to cut: the processor's widest build, the AVX one, the portable twin, the baseline
//      build), in two spans cut everywhere (inputs up to 1 KiB, else at 64 places): the same
//      records, the same stop, on the same line;
//   6. walk 4 as the passes make it: the input opened by text_input (its first data line found
//      and counted in the text buffer of byte 0's size), every record, the first one included,
//      from frame_batches on one or two threads with pieces of byte 5's size (1..64 bytes);
//   7. walks 4 and 5 in the default format over the text respelled as numbers (each byte to a
//      digit, mostly, or to '.', ',', a sign, 'e', a blank or a line end), so that most inputs are
//      long runs of digits with points and signs: the short and long field kernels at every
//      length and digit count, against the reference's atof.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "source/byte_source.hpp"
#include "text/chunk_parser.hpp"
#include "harness/line_walker.hpp"
#include "source/compressed_source.hpp"
#include "binary/npy_header.hpp"
#include "passes/frame_batches.hpp"
#include "passes/text_input.hpp"
#include "reference/reference_reader.hpp"

#include "cpu/isa.hpp"  // walk 5's baseline route

namespace {

using lagstat::text::chunk_result;
using lagstat::text::error_kind;
using lagstat::source::memory_source;
using lagstat::harness::line_walker;
using lagstat::text::text_options;

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
    line_walker reader(src, buffer);
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
void walk_fixed(lagstat::source::byte_source& src, const char* text, std::size_t size,
                std::size_t buffer, int capacity, bool check) {
    line_walker reader(src, buffer);
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

/// One call of walk 4: its result (a default format's count other than the width is -1, as the
/// passes take it), its values, the line number after it and the reason of a -1.
struct call {
    int n;
    std::vector<double> values;
    std::uint64_t line;
    error_kind error;
};

std::vector<call> options_walk(const char* text, std::size_t size, const text_options& options,
                               std::size_t buffer, std::size_t chunk) {
    memory_source src(text, size, chunk);
    line_walker reader(src, options, buffer);
    std::vector<call> calls;
    std::vector<double> values;
    const int width = reader.read_record(values);
    if (width > 0 && values.size() != static_cast<std::size_t>(width))
        fail("kept values with options", 1, static_cast<int>(values.size()), width);
    calls.push_back({width, values, reader.line_number(), reader.last_error()});
    while (calls.back().n > 0) {
        std::vector<double> out(static_cast<std::size_t>(width));
        int r = reader.read_record(out.data(), width);
        if (r > 0 && r != width) r = -1;
        out.resize(static_cast<std::size_t>(r > 0 ? r : 0));
        calls.push_back({r, out, reader.line_number(), reader.last_error()});
    }
    return calls;
}

/// Walk 4: the reader with options against the literal option reader.
void check_options_walk(const std::vector<call>& got, const char* text, std::size_t size,
                        const text_options& options) {
    std::FILE* f = open_text(text, size);
    lagstat::reference::option_reader reference(f, options);
    for (std::size_t i = 0; i < got.size(); ++i) {
        std::vector<double> want;
        const int ref = reference.read(want);
        const int line = static_cast<int>(reference.line_number());
        if (got[i].n != ref) fail("options", line, got[i].n, ref);
        compare_values("options", line, got[i].values.data(), want.data(), ref);
        if (got[i].line != reference.line_number())
            fail("options line number", line, static_cast<int>(got[i].line), line);
        if (ref < 0 && got[i].error != reference.error())
            fail("options reason", line, static_cast<int>(got[i].error),
                 static_cast<int>(reference.error()));
    }
    std::fclose(f);
}

/// The builds of the chunk parser that walk 5 takes in turn: the widest (AVX-512's whole-line
/// kernel where it runs), the AVX one, the portable twin, the baseline build.
enum class chunk_route { widest, avx, portable, baseline };
constexpr std::size_t chunk_routes = 4;

/// Sets the kernel choice for the time of a scope (the AVX and baseline routes), then puts it
/// back.
struct kernel_choice {
    const lagstat::cpu::isa saved = lagstat::cpu::active_isa();
    explicit kernel_choice(chunk_route route) {
        if (route == chunk_route::baseline) lagstat::cpu::select_isa(lagstat::cpu::isa::generic);
        if (route == chunk_route::avx && saved == lagstat::cpu::isa::avx512)
            lagstat::cpu::select_isa(lagstat::cpu::isa::avx2);
    }
    ~kernel_choice() { lagstat::cpu::select_isa(saved); }
};

/// Walk 5: the lines after the first data line in spans [0, cut) and [resume, end), through
/// parse_chunk, against the calls of walk 4.
void check_chunks(const std::vector<call>& calls, const char* text, std::size_t size,
                  const text_options& options, std::size_t cut, chunk_route route) {
    const kernel_choice choice(route);
    const bool portable = route == chunk_route::portable;
    memory_source src(text, size);
    line_walker reader(src, options, size + 1);  // the whole text in one buffer
    std::vector<double> first;
    if (reader.read_record(first) <= 0) return;
    const std::size_t width = first.size();
    const std::string rest(reader.pending());
    std::uint64_t line = reader.line_number();
    std::size_t next = 1;  // the call of walk 4 the next record must match
    cut = cut < rest.size() ? cut : rest.size();
    std::size_t start = 0;
    for (const bool final_span : {false, true}) {
        const std::size_t stop = final_span ? rest.size() : cut;
        std::string span = rest.substr(start, stop - start);
        span.append(1 + lagstat::text::chunk_padding, '\0');
        std::vector<double> out(2 * width);
        const char* from = span.data();
        const char* const end = span.data() + (stop - start);
        for (;;) {
            const chunk_result r = (portable ? lagstat::text::detail::parse_chunk_portable
                                             : lagstat::text::parse_chunk)(
                from, end, reader.layout(), out.data(), width, 2, final_span);
            line += r.lines;
            for (std::size_t k = 0; k < r.records; ++k, ++next) {
                if (next >= calls.size() || calls[next].n <= 0)
                    fail("chunk record", static_cast<int>(line), static_cast<int>(width),
                         next < calls.size() ? calls[next].n : -9);
                compare_values("chunk record", static_cast<int>(line), out.data() + k * width,
                               calls[next].values.data(), static_cast<int>(width));
            }
            from = r.resume;
            if (r.why == chunk_result::stop::full) continue;
            if (r.why == chunk_result::stop::end_of_span) break;
            const int want = r.why == chunk_result::stop::bad_line ? -1 : 0;
            if (next >= calls.size() || calls[next].n != want || calls[next].line != line ||
                (want < 0 && calls[next].error != r.error))
                fail("chunk stop", static_cast<int>(line), want,
                     next < calls.size() ? calls[next].n : -9);
            return;
        }
        start += static_cast<std::size_t>(from - span.data());
    }
    if (next >= calls.size() || calls[next].n != 0)
        fail("chunk end", static_cast<int>(line), 0, next < calls.size() ? calls[next].n : -9);
}

/// Walk 6: the passes' route against the calls of walk 4.
void check_batches(const std::vector<call>& calls, const char* text, std::size_t size,
                   const text_options& options, std::size_t buffer, std::size_t chunk,
                   std::size_t piece_bytes, std::size_t threads) {
    namespace passes = lagstat::passes;
    passes::text_input in;
    const passes::pass_error opened =
        in.open_source(std::make_unique<memory_source>(text, size, chunk), options, buffer);
    if (opened) {
        const int want = opened.kind == passes::failure::no_data ? 0 : -1;
        if (calls[0].n != want || (want < 0 && calls[0].error != opened.reason))
            fail("batches: opening", 1, want, calls[0].n);
        return;
    }
    if (calls[0].n != in.columns() || calls[0].line != in.first_line())
        fail("batches: first data line", static_cast<int>(in.first_line()), in.columns(),
             calls[0].n);
    const std::size_t width = static_cast<std::size_t>(in.columns());
    passes::thread_team team(threads);
    passes::frame_batches batches(in, team, nullptr, nullptr, piece_bytes);
    std::size_t next = 0;
    while (batches.next()) {
        for (const double* row : batches.rows()) {
            if (next >= calls.size() || calls[next].n <= 0)
                fail("batches: record", static_cast<int>(next), static_cast<int>(width), -9);
            compare_values("batches: record", static_cast<int>(next), row,
                           calls[next].values.data(), static_cast<int>(width));
            ++next;
        }
    }
    const passes::pass_error e = batches.error();
    const int want = e ? -1 : 0;
    if (next >= calls.size() || calls[next].n != want ||
        (e && (calls[next].line != e.line || calls[next].error != e.reason)))
        fail("batches: stop", static_cast<int>(e.line), want,
             next < calls.size() ? calls[next].n : -9);
}

/// Walk 7's text: the bytes respelled in the number alphabet, digits most often.
std::string as_numbers(const char* text, std::size_t size) {
    static const char spelling[] = "01234567890123456789...,-+e   \t\n";
    static_assert(sizeof spelling - 1 == 32, "one character for each of 32 byte classes");
    std::string numbers(text, size);
    for (char& c : numbers) c = spelling[static_cast<unsigned char>(c) % 32];
    return numbers;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 7) return 0;
    const std::size_t buffer = data[0] < 192 ? 1 + data[0] % 48 : 4096;
    const std::size_t chunk = data[1] < 192 ? 1 + data[1] % 64 : static_cast<std::size_t>(-1);
    const int capacity = data[2] % (max_capacity + 1);
    const auto inflater = data[2] / (max_capacity + 1) % 2 == 0 ? lagstat::source::inflater::zlib
                                                                  : lagstat::source::inflater::isal;
    static const char* const comments[] = {"", "#", "#@", "!%"};
    text_options options;
    options.comments = comments[data[3] & 3];
    if (data[3] & 4) options.delimiter = lagstat::text::delimiter::comma;
    options.skip_rows = (data[3] >> 3) & 3;
    for (int k = 0; k < ((data[3] >> 5) & 3); ++k) options.usecols.push_back(data[4 + k] % 9 - 4);
    const char* text = reinterpret_cast<const char*>(data + 7);
    const std::size_t length = size - 7;

    walk_as_passes(text, length, buffer, chunk);
    {
        memory_source src(text, length, chunk);
        walk_fixed(src, text, length, buffer, capacity, true);
    }
    auto src = lagstat::source::detect_compression(
        std::make_unique<memory_source>(text, length, chunk), inflater);
    if (src == nullptr) std::abort();
    const bool compressed = lagstat::source::is_compressed_source(*src);
    walk_fixed(*src, text, length, buffer, capacity, !compressed);

    const std::vector<call> calls = options_walk(text, length, options, buffer, chunk);
    check_options_walk(calls, text, length, options);
    const std::size_t step = length <= 1024 ? 1 : length / 64;
    for (std::size_t cut = 0; cut <= length; cut += step)
        check_chunks(calls, text, length, options, cut,
                     static_cast<chunk_route>(cut / step % chunk_routes));
    // Text that begins as a .npy does is read as one by the passes (fuzz_npy's inputs).
    if (!lagstat::binary::is_npy(text, std::min(length, lagstat::binary::npy_magic_size)))
        check_batches(calls, text, length, options, buffer, chunk, 1 + data[5] % 64,
                      1 + data[6] % 2);

    const std::string numbers = as_numbers(text, length);
    const std::vector<call> number_calls =
        options_walk(numbers.data(), length, text_options{}, buffer, chunk);
    check_options_walk(number_calls, numbers.data(), length, text_options{});
    for (std::size_t cut = 0; cut <= length; cut += step)
        check_chunks(number_calls, numbers.data(), length, text_options{}, cut,
                     static_cast<chunk_route>((cut / step + 1) % chunk_routes));
    return 0;
}
