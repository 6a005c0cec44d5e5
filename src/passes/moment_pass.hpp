// The moment pass: every frame of an input through a moment accumulator.
#pragma once

#include "source/byte_source.hpp"
#include "passes/frame_batches.hpp"
#include "passes/pass_error.hpp"
#include "passes/text_input.hpp"
#include "passes/thread_team.hpp"
#include "stats/moments.hpp"

namespace lagstat::passes {

/// Adds the input's frames, its first line first, to acc. The team parses the text and adds
/// every block of frames side by side, one part of the accumulator's elements per thread
/// (acc.parts() == team.size()). With frame_by_frame, every frame is centred and added alone,
/// in order, on the calling thread: for accumulators that share memory and so see each other's
/// updates. On a refused line or a read error the frames before it have been added, as one
/// reader going line by line would have added them.
pass_error accumulate_moments(text_input& in, stats::moment_accumulator& acc, thread_team& team,
                              source::interrupt_check interrupted, bool frame_by_frame,
                              std::size_t piece_bytes = frame_batches::default_piece_bytes);

}  // namespace lagstat::passes
