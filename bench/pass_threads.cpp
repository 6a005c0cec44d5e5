// The passes alone, without Python: a file (in the page cache) through accumulate_moments or
// project_frames on a team of threads, with a chosen piece size; best of --repeat runs. For
// profiling (perf record) and for trying piece sizes, which Python cannot set.
//
//   lagstat_pass_threads FILE pass1|pass2|stream [--threads T] [--piece-kib K] [--repeat R]
//                        [--out PATH]
//
// Prints one line: the best run's wall seconds, its processor seconds (all threads), MB/s.
#include <time.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "passes/moment_pass.hpp"
#include "passes/projection_pass.hpp"
#include "passes/text_input.hpp"
#include "passes/thread_team.hpp"
#include "stats/moments.hpp"

namespace {

using namespace lagstat;

[[noreturn]] void die(const std::string& message) {
    std::fprintf(stderr, "lagstat_pass_threads: %s\n", message.c_str());
    std::exit(2);
}

double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) die("usage: FILE pass1|pass2|stream [--threads T] [--piece-kib K] [--repeat R]");
    const std::string path = argv[1], job = argv[2];
    std::size_t threads = 1, piece = passes::frame_batches::default_piece_bytes;
    int repeat = 3;
    std::string out = "/tmp/lagstat_pass_threads.txt";
    for (int i = 3; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        const char* v = argv[i + 1];
        if (opt == "--threads") threads = std::strtoul(v, nullptr, 10);
        else if (opt == "--piece-kib") piece = std::strtoul(v, nullptr, 10) << 10;
        else if (opt == "--repeat") repeat = std::atoi(v);
        else if (opt == "--out") out = v;
        else die("unknown option " + opt);
    }
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) die(path + ": " + std::strerror(errno));

    double best_wall = 1e30, best_cpu = 0;
    for (int r = 0; r < repeat; ++r) {
        const double c0 = cpu_seconds();
        const auto w0 = std::chrono::steady_clock::now();
        passes::text_input in;
        if (passes::pass_error e = in.open(path.c_str(), nullptr)) die("cannot open the input");
        const std::size_t n = static_cast<std::size_t>(in.columns());
        std::vector<double> mean(n, 0.0), var(n, 0.0), cov, tcov, weights;
        double pairs = 0.0;
        passes::thread_team team(threads);
        passes::pass_error e;
        if (job == "stream") {
            weights.assign(n * n, 0.0);
            for (std::size_t i = 0; i < n; ++i) weights[i * n + i] = 1.0;
            passes::projection_job pj{};
            pj.input_path = path.c_str();
            pj.output_path = out.c_str();
            pj.mean = mean.data();
            pj.weights = weights.data();
            pj.n = n;
            pj.max_proj = std::min<std::size_t>(10, n);
            e = passes::project_frames(in, pj, team, nullptr, piece);
        } else {
            stats::moment_targets tg;
            tg.mean = mean.data();
            if (job == "pass2") {
                cov.assign(n * n, 0.0);
                tcov.assign(n * n, 0.0);
                tg.add_mean = false;
                tg.var = var.data();
                tg.cov = cov.data();
                tg.tcov = tcov.data();
                tg.tcov_pairs = &pairs;
                tg.lag = 1;
            }
            stats::moment_accumulator acc(n, tg, threads);
            e = passes::accumulate_moments(in, acc, team, nullptr, false, piece);
        }
        if (e) die("the pass failed");
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
        if (wall < best_wall) {
            best_wall = wall;
            best_cpu = cpu_seconds() - c0;
        }
    }
    std::printf("%s %s threads=%zu piece=%zuKiB: wall %.4f s, cpu %.4f s, %.0f MB/s\n",
                path.c_str(), job.c_str(), threads, piece >> 10, best_wall, best_cpu,
                static_cast<double>(st.st_size) / 1e6 / best_wall);
    return 0;
}
