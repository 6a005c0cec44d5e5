// The literal baseline: the straightforward program the tuned passes replace. It reads with the
// reference reader (getc/ungetc and atof through stdio), opens and rewinds the file as the moment
// and projection passes are described, accumulates with the reference kernels one frame at a time
// and writes projections with fprintf "%f".
//
//   lagstat_baseline pass1  FILE [--dump OUT]
//   lagstat_baseline pass2  FILE MEAN [--lag L] [--dump OUT]
//   lagstat_baseline stream FILE OUT MEAN WEIGHTS MAX_PROJ
//
// MEAN and WEIGHTS are raw native doubles (n, and n * n row-major). --dump writes the sums as raw
// doubles: pass1 the sum of frames then the frame count; pass2 var, cov, tcov, the frame count and
// the pair count. One line of JSON on stdout gives the wall seconds of the pass (from opening the
// input to closing it), the frame count, the column count and the process's peak RSS (VmHWM).
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "reference/reference_kernels.hpp"
#include "reference/reference_reader.hpp"

namespace {

namespace ref = lagstat::reference;
using clock_type = std::chrono::steady_clock;

[[noreturn]] void die(const std::string& message) {
    std::fprintf(stderr, "lagstat_baseline: %s\n", message.c_str());
    std::exit(2);
}

[[noreturn]] void usage() {
    die("usage: lagstat_baseline pass1 FILE [--dump OUT] | pass2 FILE MEAN [--lag L] [--dump OUT] "
        "| stream FILE OUT MEAN WEIGHTS MAX_PROJ");
}

std::vector<double> read_doubles(const char* path, std::size_t count) {
    std::FILE* f = std::fopen(path, "rb");
    if (!f) die(std::string("cannot open ") + path);
    std::vector<double> values(count);
    const std::size_t got = std::fread(values.data(), sizeof(double), count, f);
    const bool extra = std::fgetc(f) != EOF;
    std::fclose(f);
    if (got != count || extra) {
        die(std::string(path) + " does not hold " + std::to_string(count) + " doubles");
    }
    return values;
}

void write_doubles(const char* path, const std::vector<const std::vector<double>*>& parts) {
    std::FILE* f = std::fopen(path, "wb");
    if (!f) die(std::string("cannot create ") + path);
    for (const auto* part : parts) {
        if (std::fwrite(part->data(), sizeof(double), part->size(), f) != part->size()) {
            die(std::string("cannot write ") + path);
        }
    }
    if (std::fclose(f) != 0) die(std::string("cannot write ") + path);
}

// Opens the input, counts the first line's fields and rewinds, as the passes do.
std::FILE* open_counted(const char* path, int& n) {
    std::FILE* f = std::fopen(path, "r");
    if (!f) die(std::string("cannot open ") + path);
    n = ref::read_record(f, nullptr, 0);
    if (n <= 0) die(std::string("no fields on the first line of ") + path);
    std::rewind(f);
    return f;
}

void bad_line(std::uint64_t t) {
    die("unexpected line format or read error at frame " + std::to_string(t));
}

// The process's peak resident set in KiB, 0 where /proc does not tell. Unlike ru_maxrss, VmHWM
// belongs to this program's address space alone, not to the parent it was spawned from.
long peak_rss_kib() {
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (!f) return 0;
    char line[256];
    long kib = 0;
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, "VmHWM:", 6) == 0) {
            kib = std::strtol(line + 6, nullptr, 10);
            break;
        }
    }
    std::fclose(f);
    return kib;
}

struct result {
    double seconds;
    std::uint64_t frames;
    int columns;
};

result pass1(const char* path, const char* dump) {
    const auto start = clock_type::now();
    int n = 0;
    std::FILE* f = open_counted(path, n);
    std::vector<double> frame(n), sum(n, 0.0);
    std::uint64_t t = 0;
    for (;;) {
        const int r = ref::read_record(f, frame.data(), n);
        if (r == 0) break;
        if (r != n) bad_line(t);
        ref::add_sum(frame.data(), sum.data(), n);
        ++t;
    }
    std::fclose(f);
    const double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    if (dump) {
        const std::vector<double> samples{static_cast<double>(t)};
        write_doubles(dump, {&sum, &samples});
    }
    return {seconds, t, n};
}

result pass2(const char* path, const char* mean_path, std::size_t lag, const char* dump) {
    const auto start = clock_type::now();
    int n = 0;
    std::FILE* f = open_counted(path, n);
    const std::size_t un = static_cast<std::size_t>(n);
    const std::vector<double> mean = read_doubles(mean_path, un);
    std::vector<double> frame(un), var(un, 0.0), cov(un * un, 0.0), tcov(un * un, 0.0);
    std::vector<double> ring(un * lag, 0.0), pairs(1, 0.0);
    std::uint64_t t = 0;
    for (;;) {
        const int r = ref::read_record(f, frame.data(), n);
        if (r == 0) break;
        if (r != n) bad_line(t);
        for (std::size_t i = 0; i < un; ++i) frame[i] = frame[i] - mean[i];
        ref::add_squares(frame.data(), var.data(), un);
        ref::add_outer_upper(frame.data(), cov.data(), un);
        ref::add_lagged_outer(frame.data(), tcov.data(), pairs.data(), un, t, ring.data(), lag);
        ++t;
    }
    ref::mirror_upper(cov.data(), un);
    std::fclose(f);
    const double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    if (dump) {
        const std::vector<double> samples{static_cast<double>(t)};
        write_doubles(dump, {&var, &cov, &tcov, &samples, &pairs});
    }
    return {seconds, t, n};
}

result stream(const char* path, const char* out_path, const char* mean_path,
              const char* weights_path, int max_proj) {
    const auto start = clock_type::now();
    int n = 0;
    std::FILE* in = open_counted(path, n);
    if (max_proj < 1 || max_proj > n) die("MAX_PROJ must lie between 1 and the column count");
    const std::size_t un = static_cast<std::size_t>(n);
    const std::vector<double> mean = read_doubles(mean_path, un);
    const std::vector<double> w = read_doubles(weights_path, un * un);
    std::vector<double> frame(un);
    std::FILE* out = std::fopen(out_path, "w");
    if (!out) die(std::string("cannot create ") + out_path);
    std::uint64_t t = 0;
    for (;;) {
        const int r = ref::read_record(in, frame.data(), n);
        if (r == 0) break;
        if (r != n) bad_line(t);
        for (std::size_t i = 0; i < un; ++i) frame[i] = frame[i] - mean[i];
        for (int i = 0; i < max_proj; ++i) {
            double y = 0.0;
            for (std::size_t k = 0; k < un; ++k) y = y + frame[k] * w[k * un + i];
            std::fprintf(out, "%f", y);
            if (i + 1 < max_proj) std::fputc(' ', out);
        }
        std::fputc('\n', out);
        ++t;
    }
    std::fclose(in);
    if (std::fclose(out) != 0) die(std::string("cannot write ") + out_path);
    const double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    return {seconds, t, n};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) usage();
    const std::string mode = argv[1];
    std::vector<const char*> positional;
    const char* dump = nullptr;
    long lag = 1;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--dump") == 0 && i + 1 < argc) {
            dump = argv[++i];
        } else if (std::strcmp(argv[i], "--lag") == 0 && i + 1 < argc) {
            lag = std::strtol(argv[++i], nullptr, 10);
            if (lag < 1) die("--lag must be at least 1");
        } else {
            positional.push_back(argv[i]);
        }
    }
    result r{};
    if (mode == "pass1" && positional.size() == 1) {
        r = pass1(positional[0], dump);
    } else if (mode == "pass2" && positional.size() == 2) {
        r = pass2(positional[0], positional[1], static_cast<std::size_t>(lag), dump);
    } else if (mode == "stream" && positional.size() == 5 && !dump) {
        r = stream(positional[0], positional[1], positional[2], positional[3],
                   std::atoi(positional[4]));
    } else {
        usage();
    }
    std::printf("{\"seconds\": %.9f, \"frames\": %llu, \"columns\": %d, \"peak_rss_kib\": %ld}\n",
                r.seconds, static_cast<unsigned long long>(r.frames), r.columns, peak_rss_kib());
    return 0;
}
