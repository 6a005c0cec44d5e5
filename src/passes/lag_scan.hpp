// The lag scan: one read of an input for every lag at once (the sums of stats/lag_moments.hpp),
// with the input cut into segments at marker lines and the time at each segment's ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "passes/pass_error.hpp"
#include "passes/text_input.hpp"
#include "passes/thread_team.hpp"
#include "source/byte_source.hpp"
#include "stats/lag_moments.hpp"

namespace lagstat::passes {

/// The fields a lag scan reads: the frame's columns (usecols, or every field of a line) and the
/// time where one is asked for. A time outside the selected columns is read as one more column
/// after them, which the sums leave out; without usecols it is a field of the frame's line.
struct scan_fields {
    text::text_options options;  ///< what the input is opened with
    bool timed = false;
    long long time_field = 0;  ///< as given: a line's field index, negative from its end
    std::size_t columns = 0;   ///< the frame's columns: usecols' count, else set on resolving
    int time_slot = -1;        ///< the record position of the time, -1: none
};

/// The fields to open the input with, before its first data line is known.
scan_fields plan_scan_fields(const text::text_options& options, const long long* time_field);

/// Once the input is open (reader_columns values per record, `fields` fields per line): the
/// frame's columns and the time's slot. false when the time field lies outside the line.
bool resolve_scan_fields(scan_fields& f, int reader_columns, long long fields) noexcept;

struct lag_scan_request {
    std::vector<std::size_t> lags;  ///< each >= 1
    std::size_t columns = 0;        ///< the first `columns` values of a record form the frame
    std::vector<double> shift;      ///< subtracted from every frame; empty: the first frame
    std::string segment_marker;     ///< lines starting with it end a segment; empty: none
    int time_slot = -1;             ///< the record position of the time, -1: none
};

struct segment_info {
    std::uint64_t first_line = 0;  ///< physical line of its first frame
    std::uint64_t frames = 0;
    bool after_marker = false;                 ///< false for the segment the data start with
    std::string marker;                        ///< the marker line that started it
    double first_time = 0.0, last_time = 0.0;  ///< NaN without a time slot
};

struct lag_scan_result {
    std::vector<double> shift;
    std::vector<segment_info> segments;  ///< those with frames, in order
    double dt = 0.0;                     ///< time of frame 1 - frame 0 of the first segment, or NaN
    std::uint64_t blank_lines = 0;       ///< blank lines skipped (text_options::skip_blank)
    std::uint64_t blank_end = 0;         ///< the line of the blank line that ended the data, or 0
};

/// Reads every frame of `in` (opened, its first data line read) into `acc` (made for
/// request.columns and request.lags with team.size() parts), centred by the shift, each
/// segment's tail sums at its end, then acc.finish(). On a refused line, a read error or an
/// interrupt the sums are partial and the caller drops them.
pass_error scan_lags(text_input& in, const lag_scan_request& request, stats::lag_accumulator& acc,
                     thread_team& team, source::interrupt_check interrupted,
                     lag_scan_result& result);

}  // namespace lagstat::passes
