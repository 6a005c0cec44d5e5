// The lag scan of frames handed over in memory (arrays, binary files read in blocks): the same
// sums as scan_lags over the same numbers as text, block by block as the caller has them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "passes/lag_scan.hpp"
#include "passes/thread_team.hpp"
#include "stats/lag_moments.hpp"

namespace lagstat::passes {

/// One source's sums, fed frames in order: centred by the shift (the first frame unless given)
/// as scan_lags centres a line's values, added through a lag_accumulator of `parts` parts, so
/// that pairs span the blocks of a trajectory and never two trajectories.
class array_scan {
public:
    /// Throws std::invalid_argument (columns or lags as lag_accumulator refuses them, a shift
    /// of another length) and std::bad_alloc.
    array_scan(std::size_t columns, const std::vector<std::size_t>& lags, std::vector<double> shift,
               std::size_t parts);

    std::size_t columns() const noexcept { return n_; }
    std::uint64_t frames() const noexcept { return frames_; }

    /// rows frames, frame k's value i at data[k * stride + i * step] (strides in doubles, so a
    /// block of a Fortran-ordered array needs no copy first). team may be null (every part on
    /// the calling thread); the bits are the same either way.
    void add(const double* data, std::size_t rows, std::size_t stride, std::size_t step,
             thread_team* team);
    /// Ends the current trajectory: the next frames start another.
    void end_trajectory(thread_team* team);

    /// The sums and the facts of a scan (segments: one per trajectory with frames, numbered by
    /// its first frame from 1; no time), as if the current trajectory ended now; the scan goes on.
    stats::lag_sums snapshot(lag_scan_result& result);
    /// Ends the current trajectory and hands the sums over; the scan is done.
    stats::lag_sums finish(lag_scan_result& result);

private:
    void describe(lag_scan_result& result, bool with_current) const;

    std::size_t n_;
    std::vector<double> shift_;
    stats::lag_accumulator acc_;
    std::vector<double> centred_;  // block_rows x n: the frames, less the shift
    std::vector<const double*> rows_;
    std::uint64_t frames_ = 0;
    std::vector<segment_info> segments_;
    segment_info current_;
};

}  // namespace lagstat::passes
