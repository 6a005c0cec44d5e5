// The moment pass: every frame of an input through a moment accumulator.
#pragma once

#include "passes/pass_error.hpp"
#include "passes/text_input.hpp"
#include "stats/moments.hpp"

namespace lagstat::passes {

/// Feeds the input's frames, its first line first, to acc and flushes it. On a refused line the
/// frames before it have been flushed into the targets, so they keep their contributions.
pass_error accumulate_moments(text_input& in, stats::moment_accumulator& acc);

}  // namespace lagstat::passes
