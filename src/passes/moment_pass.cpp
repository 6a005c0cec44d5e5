#include "passes/moment_pass.hpp"

#include <new>
#include <vector>

#include "passes/frame_batches.hpp"

namespace lagstat::passes {

namespace {

void add_frame_by_frame(stats::moment_accumulator& acc, const std::vector<const double*>& rows) {
    for (const double* row : rows) {
        // The frame is the reader's own, parsed for this pass alone: centring it in place is
        // fine.
        acc.centre(const_cast<double*>(row));
        acc.add_block(&row, 1);
    }
}

void add_blocks(frame_batches& batches, stats::moment_accumulator& acc, bool frame_by_frame) {
    // Each block is added while the threads parse the next one (the team job of the next
    // call), rather than between two parses with every thread waiting at both ends: a thread
    // adds its part of the block's elements, then takes pieces to parse, and pieces absorb the
    // parts' unequal work. Each element still gets the frames one at a time in frame order,
    // since a block's adds all end before the next block begins.
    if (!frame_by_frame) batches.keep_previous_frames();
    std::vector<const double*> block;  // the rows being added, kept past the next call
    bool adding = false;
    for (;;) {
        if (adding) batches.set_team_job([&acc](std::size_t part) { acc.add_block_part(part); });
        const bool more = batches.next();
        if (adding) {
            acc.end_block();
            adding = false;
        }
        if (!more) break;
        const std::vector<const double*>& rows = batches.rows();
        if (rows.empty()) continue;
        if (frame_by_frame) {
            add_frame_by_frame(acc, rows);
            continue;
        }
        block.assign(rows.begin(), rows.end());
        acc.begin_block(block.data(), block.size());
        adding = true;
    }
}

}  // namespace

pass_error accumulate_moments(text_input& in, stats::moment_accumulator& acc, thread_team& team,
                              source::interrupt_check interrupted, bool frame_by_frame,
                              std::size_t piece_bytes) try {
    frame_batches::piece_hook centre;
    if (!frame_by_frame && acc.centres()) {
        // Centring is the parsing threads' work, each on its own frames.
        centre = [&acc, stride = static_cast<std::size_t>(in.layout().width())](
                     std::size_t, double* frames, std::size_t count) {
            for (std::size_t k = 0; k < count; ++k) acc.centre(frames + k * stride);
        };
    }
    frame_batches batches(in, team, interrupted, std::move(centre), piece_bytes);
    // All the elements in one part (narrow frames): each piece is added as soon as it and the
    // pieces before it are parsed, mostly by the thread that parsed it, while its frames are in
    // that core's cache, instead of by one thread reading every frame of the block from the
    // others' caches.
    std::vector<const double*> piece_rows;
    bool no_memory = false;
    const std::size_t stride = batches.stride();
    auto add_piece = [&](const double* frames, std::size_t count) {
        if (no_memory) return;
        try {
            piece_rows.resize(count);
            for (std::size_t k = 0; k < count; ++k) piece_rows[k] = frames + k * stride;
            acc.add_block(piece_rows.data(), count);
        } catch (const std::bad_alloc&) {
            no_memory = true;
        }
    };
    const bool by_pieces =
        !frame_by_frame && acc.busy_parts() <= 1 && batches.set_frames_sink(add_piece);
    if (by_pieces) {
        while (batches.next() && !no_memory) {
        }
        if (no_memory) return {failure::no_memory};
    } else {
        add_blocks(batches, acc, frame_by_frame);
    }
    if (pass_error e = batches.error()) return in.explain(e);
    return in.check_rest();
} catch (const std::bad_alloc&) {
    return {failure::no_memory};
}

}  // namespace lagstat::passes
