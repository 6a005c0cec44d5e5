// Reading speed of the line scan alone, line by line (the tests' walker) and through the chunk
// parser: a file (in the page cache) read with text options, best of --repeat runs.
//
//   lagstat_reader_speed FILE [--comments CHARS] [--skip-rows N] [--usecols I,J,...] [--comma]
//                        [--chunks] [--repeat R]
//
// --chunks reads the lines after the first data line with parse_chunk, one thread, over buffers of
// 1 MiB whose cut last line is carried to the next. Prints one line: the best run's processor
// seconds (user and system: steadier than wall time on a machine that is busy with other work),
// the MB/s they make, and the records.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "source/open_input.hpp"
#include "text/chunk_parser.hpp"
#include "harness/line_walker.hpp"

namespace {

using namespace lagstat::source;
using namespace lagstat::text;
using lagstat::harness::line_walker;

[[noreturn]] void die(const std::string& message) {
    std::fprintf(stderr, "lagstat_reader_speed: %s\n", message.c_str());
    std::exit(2);
}

double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// The records of the file, read line by line; the checksum keeps the stores alive.
std::size_t read_lines(const char* path, const text_options& options, double* checksum) {
    int err = 0;
    std::unique_ptr<byte_source> src = open_input(path, err);
    if (!src) die(std::string("cannot open ") + path);
    line_walker reader(*src, options);
    std::vector<double> record;
    const int width = reader.read_record(record);
    if (width <= 0) die("no data line");
    std::size_t records = 1;
    while (reader.read_record(record.data(), width) == width) {
        *checksum += record[0];
        ++records;
    }
    return records;
}

// The same with parse_chunk after the first data line.
std::size_t read_chunks(const char* path, const text_options& options, double* checksum) {
    int err = 0;
    std::unique_ptr<byte_source> src = open_input(path, err);
    if (!src) die(std::string("cannot open ") + path);
    line_walker reader(*src, options);
    std::vector<double> first;
    const int width = reader.read_record(first);
    if (width <= 0) die("no data line");
    const std::size_t size = std::size_t{1} << 20;
    std::vector<char> buffer(2 * size + 1 + chunk_padding);
    std::vector<double> out(std::size_t{1} << 16);
    const std::size_t stride = static_cast<std::size_t>(width);
    const std::size_t max_records = out.size() / stride;
    std::size_t held = reader.pending().size();
    std::memcpy(buffer.data(), reader.pending().data(), held);
    std::size_t records = 1;
    for (bool final_span = false; !final_span;) {
        long got = src->read(buffer.data() + held, size);
        if (got < 0) die("read error");
        final_span = got == 0;
        held += static_cast<std::size_t>(got);
        buffer[held] = '\0';
        const char* from = buffer.data();
        const char* const end = buffer.data() + held;
        for (;;) {
            const chunk_result r = parse_chunk(from, end, reader.layout(), out.data(), stride,
                                               max_records, final_span);
            records += r.records;
            if (r.records > 0) *checksum += out[0];
            from = r.resume;
            if (r.why == chunk_result::stop::full) continue;
            if (r.why != chunk_result::stop::end_of_span) return records;
            break;
        }
        held = static_cast<std::size_t>(end - from);
        if (held > size) die("a line longer than the buffer");
        std::memmove(buffer.data(), from, held);
    }
    return records;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) die("usage: lagstat_reader_speed FILE [options]");
    text_options options;
    bool chunks = false;
    int repeat = 5;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--comma") {
            options.delimiter = delimiter::comma;
        } else if (arg == "--chunks") {
            chunks = true;
        } else if (value == nullptr) {
            die("missing value after " + arg);
        } else if (arg == "--comments") {
            options.comments = value, ++i;
        } else if (arg == "--skip-rows") {
            options.skip_rows = std::strtoull(value, nullptr, 10), ++i;
        } else if (arg == "--repeat") {
            repeat = std::atoi(value), ++i;
        } else if (arg == "--usecols") {
            for (char* p = argv[++i]; *p != '\0'; p += *p == ',')
                options.usecols.push_back(std::strtoll(p, &p, 10));
        } else {
            die("unknown argument " + arg);
        }
    }
    if (const char* why = validate(options)) die(why);
    struct stat st {};
    if (stat(argv[1], &st) != 0) die(std::string("cannot stat ") + argv[1]);
    double best = 1e300;
    std::size_t records = 0;
    double checksum = 0;
    for (int r = 0; r < repeat; ++r) {
        const double start = cpu_seconds();
        records = chunks ? read_chunks(argv[1], options, &checksum)
                         : read_lines(argv[1], options, &checksum);
        const double seconds = cpu_seconds() - start;
        if (seconds < best) best = seconds;
    }
    std::printf("%.4f s  %.0f MB/s  %zu records  (checksum %g)\n", best,
                static_cast<double>(st.st_size) / best / 1e6, records, checksum);
    return 0;
}
