// The projection pass: every frame of an input centred, projected and written as a text line.
#pragma once

#include <cstddef>

#include "source/byte_source.hpp"
#include "passes/frame_batches.hpp"
#include "passes/pass_error.hpp"
#include "passes/text_input.hpp"
#include "passes/thread_team.hpp"

namespace lagstat::passes {

struct projection_job {
    const char* input_path;   // the path `in` was opened from
    const char* output_path;
    const double* mean;       // n values
    std::size_t mean_bytes;   // bytes from mean that may lie in a mapped file (0: none)
    const double* weights;    // n x n, row-major; only the first max_proj columns are read
    std::size_t weights_bytes;  // likewise from weights
    std::size_t n;            // frame length: the record's width less the time column
    std::size_t max_proj;     // 1 <= max_proj <= n
    bool time_column;         // every record starts with a time field, which is dropped
    source::interrupt_check interrupted;
};

/// Opens the output (refusing one that is the input or the file behind mean or weights, before
/// it is truncated) and writes one line of max_proj "%f" numbers per record of `in`, its first
/// line first. The team's threads parse, project and format their own pieces of the text; the
/// lines go out in input order. On a refused line the lines before it stay in the output.
/// `frames`, when given, receives the number of lines written.
pass_error project_frames(text_input& in, const projection_job& job, thread_team& team,
                          std::uint64_t* frames = nullptr,
                          std::size_t piece_bytes = frame_batches::default_piece_bytes);

}  // namespace lagstat::passes
