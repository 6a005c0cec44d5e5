// Projection of a centred frame on the leading columns of a weight matrix.
#pragma once

#include <cstddef>

namespace lagstat::projection {

/// y[i] = sum over k = 0..n-1, ascending from 0.0, of x[k] * w[k*n + i], for i < max_proj.
/// Each product is rounded to double before its add; only w's first max_proj columns are read.
void project(const double* x, const double* w, std::size_t n, std::size_t max_proj,
             double* y) noexcept;

namespace detail {
/// One implementation of project() built into the library.
using project_fn = void (*)(const double*, const double*, std::size_t, std::size_t,
                            double*) noexcept;
struct project_path {
    const char* name;
    project_fn fn;
    bool supported;  // the CPU can run it
};
/// The implementations, narrowest first (portable, avx2, avx512f); *count receives their number.
const project_path* project_paths(std::size_t* count) noexcept;
}  // namespace detail

}  // namespace lagstat::projection
