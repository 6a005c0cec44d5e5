// The pair moments of a batch of bootstrap replicates (stats/replicate_moments.hpp), on a team
// of threads: each step split into disjoint ranges of replicates or rows, so any thread count
// gives the same bits.
#pragma once

#include "stats/replicate_moments.hpp"

#include <cstddef>

namespace lagstat::passes {

/// C00 and C0t of every replicate of the batch, on `threads` threads (1: the calling one).
/// Throws std::bad_alloc, or std::system_error when a thread cannot be started.
void replicate_moments(const stats::replicate_groups& groups, const stats::replicate_batch& batch,
                       std::size_t threads);

}  // namespace lagstat::passes
