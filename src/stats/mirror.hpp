// The finishing step of the outer-product sums.
//
// The sums themselves are added by the block kernels (kernel_dispatch.hpp) that the moment
// accumulator (moments.hpp) drives: every accumulator element receives its frames'
// contributions one at a time, in frame order, each product rounded to double before the add,
// so the results are those of the literal per-frame loops bit for bit.
#pragma once

#include <cstddef>

namespace lagstat::stats {

/// c[j*n + i] = c[i*n + j] for j > i: the lower triangle of a sum kept on its upper one.
void mirror_upper(double* c, std::size_t n) noexcept;

}  // namespace lagstat::stats
