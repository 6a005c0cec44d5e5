// Projection of a centred frame on the leading columns of a weight matrix.
#pragma once

#include <cstddef>

#include "cpu/isa.hpp"

namespace lagstat::projection {

/// y[i] = sum over k = 0..n-1, ascending from 0.0, of x[k] * w[k*n + i], for i < max_proj.
/// Each product is rounded to double before its add; only w's first max_proj columns are read.
/// Runs on the instruction set of cpu::active_isa().
void project(const double* x, const double* w, std::size_t n, std::size_t max_proj,
             double* y) noexcept;

namespace detail {
using project_fn = void (*)(const double*, const double*, std::size_t, std::size_t,
                            double*) noexcept;
/// The implementation built for an instruction set (the portable one where none is).
project_fn project_for(cpu::isa set) noexcept;
}  // namespace detail

}  // namespace lagstat::projection
