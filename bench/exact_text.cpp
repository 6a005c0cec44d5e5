// The differential checks of number text at full count: every field shape against strtod (through
// parse_field, the chunk parser and the line walker cut at every place) and every value family of
// format_fixed6 and format_fixed6_lines against snprintf "%f". The C++ tests run the same checks
// at a small count.
//
//   lagstat_exact_text [--fields N] [--values N] [--seed S] [--shapes NAME,NAME,...]
//                      [--families NAME,NAME,...]
//
// N per shape and per family (default 10^8 each); --shapes and --families check only the field
// shapes and value families named (for a change to the kernels of some: the full count of all
// of them takes hours). Prints
// each one's count, mismatches and seconds, the first mismatches in hexfloats; exits 1 if any.
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "harness/exact_text.hpp"

namespace {

double now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

bool report(const char* what, const char* name, const lagstat::harness::differences& d,
            double seconds) {
    std::printf("%-7s %-19s %12llu checked %6llu mismatches %8.1f s\n", what, name,
                static_cast<unsigned long long>(d.checked),
                static_cast<unsigned long long>(d.count), seconds);
    for (const std::string& s : d.first) std::printf("    %s\n", s.c_str());
    std::fflush(stdout);
    return d.count == 0;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace lagstat::harness;
    std::uint64_t fields = 100000000, values = 100000000, seed = 1;
    std::string shapes, families;  // empty: all
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        const std::uint64_t v = std::strtoull(argv[i + 1], nullptr, 10);
        if (opt == "--shapes")
            shapes = "," + std::string(argv[i + 1]) + ",";
        else if (opt == "--families")
            families = "," + std::string(argv[i + 1]) + ",";
        else if (opt == "--fields")
            fields = v;
        else if (opt == "--values")
            values = v;
        else if (opt == "--seed")
            seed = v;
        else {
            std::fprintf(stderr, "lagstat_exact_text: unknown option %s\n", opt.c_str());
            return 2;
        }
    }
    bool ok = true;
    const double start = now();
    for (field_shape shape : all_field_shapes) {
        if (!shapes.empty() &&
            shapes.find("," + std::string(shape_name(shape)) + ",") == shapes.npos)
            continue;
        const double t0 = now();
        field_maker maker(seed * 1000 + static_cast<int>(shape));
        differences found;
        std::vector<std::string> batch;
        // Batches of 4096 fields, lines of 1 to 16 fields, reads of 1 to 300 bytes in turn.
        for (std::uint64_t done = 0, round = 0; done < fields; ++round) {
            batch.clear();
            const std::uint64_t n = fields - done < 4096 ? fields - done : 4096;
            for (std::uint64_t i = 0; i < n; ++i) batch.push_back(maker.make(shape));
            check_fields(batch, 1 + round % 16, 1 + round % 300, found);
            done += n;
        }
        ok = report("fields", shape_name(shape), found, now() - t0) && ok;
    }
    for (value_family family : all_value_families) {
        if (!families.empty() &&
            families.find("," + std::string(family_name(family)) + ",") == families.npos)
            continue;
        const double t0 = now();
        std::mt19937_64 rng(seed * 2000 + static_cast<int>(family));
        differences found;
        std::vector<double> batch;
        // Lines of 1 to 16 values in turn.
        for (std::uint64_t i = 0, round = 0; i < values; ++i) {
            batch.push_back(random_value(family, rng));
            check_format(batch.back(), found);
            if (batch.size() == 4096 || i + 1 == values) {
                check_format_lines(batch, 1 + round++ % 16, found);
                batch.clear();
            }
        }
        ok = report("values", family_name(family), found, now() - t0) && ok;
    }
    std::printf("%s in %.1f s\n", ok ? "all equal" : "MISMATCHES", now() - start);
    return ok ? 0 : 1;
}
