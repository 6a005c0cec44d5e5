#include "passes/projection_pass.hpp"

#include <cerrno>
#include <new>
#include <vector>

#include "output/format.hpp"
#include "passes/file_identity.hpp"
#include "projection/project.hpp"

namespace lagstat::passes {

namespace {

// Opening the output truncates it: never when it is a file the pass still has to read, be it
// the input or a memory-mapped array (numpy.memmap) behind mean or weights.
const char* output_clash(const projection_job& job) {
    file_id out;
    if (!regular_file_id(job.output_path, out)) return nullptr;
    file_id in;
    if (regular_file_id(job.input_path, in) && in.dev == out.dev && in.ino == out.ino)
        return "Input and output are the same file";
    if (memory_maps_file(job.mean, job.mean_bytes, out)) return "Output is the file behind mean";
    if (memory_maps_file(job.weights, job.weights_bytes, out))
        return "Output is the file behind weights";
    return nullptr;
}

}  // namespace

pass_error project_frames(text_input& in, const projection_job& job) try {
    if (const char* clash = output_clash(job)) return {failure::same_file, EINVAL, clash};
    const std::size_t c = static_cast<std::size_t>(in.columns());
    const std::size_t n = job.n, nproj = job.max_proj, tc = job.time_column ? 1 : 0;
    std::vector<double> record = std::move(in.first());  // holds the first line already
    record.resize(c);
    std::vector<double> y(nproj);

    output::output_sink out;
    if (const int err = out.open(job.output_path, output::output_sink::default_buffer_size,
                                 job.interrupted);
        err != 0)
        return err == EINTR ? pass_error{failure::interrupted} : pass_error{failure::open_output, err};
    auto write_failed = [&out] {
        const int err = out.error_number();
        return err == EINTR ? pass_error{failure::interrupted} : pass_error{failure::write_output, err};
    };

    const double* m = job.mean;
    for (;;) {
        double* x = record.data();
        for (std::size_t i = 0; i < n; ++i) x[i] = x[i + tc] - m[i];
        projection::project(x, job.weights, n, nproj, y.data());
        for (std::size_t i = 0; i < nproj; ++i) {
            char* p = out.reserve(output::max_fixed6_length + 1);
            if (p == nullptr) return write_failed();
            p = output::format_fixed6(y[i], p);
            *p++ = i + 1 < nproj ? ' ' : '\n';
            out.commit(p);
        }
        const int r = in.reader().read_record(record.data(), static_cast<int>(c));
        if (r == static_cast<int>(c)) continue;
        if (r != 0) {
            out.close();  // the lines before the failing record stay
            return in.line_error();
        }
        if (pass_error e = in.check_rest()) return e;
        break;
    }
    if (!out.close()) return write_failed();
    return {};
} catch (const std::bad_alloc&) {
    return {failure::no_memory};
}

}  // namespace lagstat::passes
