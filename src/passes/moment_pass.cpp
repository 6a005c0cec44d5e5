#include "passes/moment_pass.hpp"

#include <cstring>
#include <new>

namespace lagstat::passes {

pass_error accumulate_moments(text_input& in, stats::moment_accumulator& acc) try {
    const int n = in.columns();
    std::memcpy(acc.next_frame(), in.first().data(), static_cast<std::size_t>(n) * sizeof(double));
    acc.commit_frame();
    for (;;) {
        const int r = in.reader().read_record(acc.next_frame(), n);
        if (r == 0) break;
        if (r != n) {
            acc.flush();
            return in.line_error();
        }
        acc.commit_frame();
    }
    acc.flush();
    return in.check_rest();
} catch (const std::bad_alloc&) {
    return {failure::no_memory};
}

}  // namespace lagstat::passes
