// Weighted lagged pairs handed over in memory, block after block as the caller has them: the
// pairs less a shift (the first pair's earlier frame unless given) into the weighted
// accumulator, whose blocks of pairs are fixed by pair index, so any blocking and any thread
// count give the same bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "passes/thread_team.hpp"
#include "stats/weighted_moments.hpp"

namespace lagstat::passes {

/// A matrix of rows x columns doubles, value i of row k at data[k * stride + i * step].
struct strided_rows {
    const double* data;
    std::size_t stride, step;
    const double* row(std::size_t k) const noexcept { return data + k * stride; }
};

class weighted_pair_scan {
public:
    /// Throws std::invalid_argument (no columns, no parts, a shift of another length) and
    /// std::bad_alloc.
    weighted_pair_scan(std::size_t columns, std::vector<double> shift, std::size_t parts);

    std::size_t columns() const noexcept { return acc_.columns(); }
    std::uint64_t pairs() const noexcept { return acc_.pairs(); }
    /// Empty until the first pair unless given.
    const std::vector<double>& shift() const noexcept { return shift_; }

    /// Adds `rows` pairs (x[k], y[k]) with weights w[k * w_stride], in order. A weight that is
    /// nan or inf throws std::invalid_argument before any pair is added; negative weights are
    /// taken (an estimate such as Koopman reweighting's may dip below zero: callers that take
    /// weights from users refuse them first, naming the file and line). team may
    /// be null (every part on the calling thread); the bits are the same either way.
    void add(strided_rows x, strided_rows y, const double* w, std::size_t w_stride,
             std::size_t rows, thread_team* team);

    /// The totals with the pending pairs folded in; the scan goes on unchanged.
    const stats::weighted_sums& totals(thread_team* team);

private:
    void fold(bool into_totals, thread_team* team);

    std::vector<double> shift_;
    stats::weighted_accumulator acc_;
};

/// A reversible estimate's weighted sums pooled by frame (stats::pooled_accumulator), fed one
/// trajectory after another: its frames but the tail as they come, the tail when it ends. The
/// caller keeps the frames: it gives each frame's weight and, for a frame with a pair, the
/// pair's earlier frame and weight.
class pooled_frame_scan {
public:
    /// Throws as weighted_pair_scan's.
    pooled_frame_scan(std::size_t columns, std::vector<double> shift, std::size_t parts);

    std::size_t columns() const noexcept { return acc_.columns(); }
    std::uint64_t pairs() const noexcept { return acc_.pairs(); }
    const std::vector<double>& shift() const noexcept { return shift_; }
    /// Whether threads would share the products (else a team only waits on the first).
    bool splits() const noexcept { return acc_.product_parts() > 1; }

    /// The next `rows` frames x[k], weights w[k * w_stride], of a trajectory but its tail; the
    /// last `pairs` of them (pairs <= rows) have pairs, earlier frames e[j] with weights
    /// we[j * we_stride]. A weight that is nan or inf throws std::invalid_argument before any
    /// frame is added.
    void add(strided_rows x, const double* w, std::size_t w_stride, std::size_t rows,
             strided_rows e, const double* we, std::size_t we_stride, std::size_t pairs,
             thread_team* team);
    /// A trajectory's tail: frames x[k], each with the earlier frame e[k] of its pair, weight
    /// w[k * w_stride] (the frame's pooled weight too), summed apart and folded into the totals.
    void end(strided_rows x, strided_rows e, const double* w, std::size_t w_stride,
             std::size_t rows, thread_team* team);
    /// The totals were the tail given here (rows may be 0) to end the trajectory now; the scan
    /// goes on unchanged.
    const stats::pooled_sums& totals(strided_rows x, strided_rows e, const double* w,
                                     std::size_t w_stride, std::size_t rows, thread_team* team);

private:
    void run(stats::pooled_accumulator::step s, thread_team* team);
    void set_shift(strided_rows x);
    // The tail's frames in pieces, each folded by step s.
    void pieces(strided_rows x, strided_rows e, const double* w, std::size_t w_stride,
                std::size_t rows, stats::pooled_accumulator::step s, thread_team* team);

    std::vector<double> shift_;
    stats::pooled_accumulator acc_;
};

}  // namespace lagstat::passes
