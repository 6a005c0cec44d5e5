// The line-by-line walker of the tests and fuzzers: one line of tabulated text to one record of
// doubles, through the passes' own line scan (text/line_scan.hpp) over a buffer that it refills
// call by call. The passes read through frame_batches; this walks the same scan one line at a time,
// so that every line, cut at any refill, can be held against the literal reference readers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "source/byte_source.hpp"
#include "text/text_options.hpp"

namespace lagstat::text::detail {
enum class scan_kind : unsigned char;
}

namespace lagstat::harness {

using source::byte_source;
using text::error_kind;
using text::parse_layout;
using text::text_options;

/// Reads lines of the tabulated format from a byte source through a large buffer of its own.
///
/// Default format: fields of number characters separated by whitespace (the C locale's six
/// characters), by commas, or both; a comma always ends a field, even an empty one; a field
/// holds at most 256 characters; the data end at the first empty or blank line or at the
/// end of the input. text_options depart from it: see there.
class line_walker {
public:
    static constexpr std::size_t default_buffer_size = std::size_t{1} << 20;

    /// A reader of the default format.
    explicit line_walker(byte_source& src, std::size_t buffer_size = default_buffer_size);
    /// A reader of the format the options describe (the caller has checked them with validate()).
    line_walker(byte_source& src, const text_options& options,
                std::size_t buffer_size = default_buffer_size);

    /// Reads one line. capacity <= 0 selects counting mode (nothing is stored, out unused).
    ///
    /// Default format: returns n > 0 (the line's field count), 0 (end of data) or -1 (a malformed
    /// line, a field longer than 256 characters, more than capacity fields in filling mode, or a
    /// read error). A count other than the capacity in filling mode is returned as it is, with
    /// last_error() wrong_field_count.
    ///
    /// With options, the first call reads the first data line: it skips skip_rows lines and the
    /// comment lines, fixes the field count c that every later data line must have and resolves
    /// usecols against it (a fault there is -1 with last_error() column_out_of_range or
    /// duplicate_column). Every call returns the record's width (the number of selected fields,
    /// c without usecols; out must hold that many in filling mode), 0 (the end of the data,
    /// also when no data line comes at all) or -1 (see last_error()).
    ///
    /// After -1 the reader's position is undefined and the caller gives the input up.
    int read_record(double* out, int capacity);

    /// Counting mode on the next line that also keeps the line's values (the selected ones, with
    /// options), so that the line can be used as data without reading it again. Same results as
    /// read_record(nullptr, 0). The first call fixes layout().
    int read_record(std::vector<double>& values);

    /// Why the last call refused its line (none after a record or the end of the data).
    error_kind last_error() const noexcept { return last_error_; }
    /// True once a read from the source has failed (the stream's error indicator).
    bool failed() const noexcept { return failed_; }
    /// True once the source has reported the end of the input.
    bool at_end() const noexcept { return at_end_; }
    /// errno of the failed read, 0 if none failed.
    int error_number() const noexcept { return src_.error_number(); }
    /// Number of physical lines read so far, the current one included (1-based line of the last
    /// call), skipped rows and comment lines included.
    std::uint64_t line_number() const noexcept { return line_number_; }

    /// The options resolved against the first data line: what parse_chunk needs to go on with
    /// the following lines. Resolved by the first call with options, and in the default format by
    /// the first read_record(std::vector<double>&) that reads a line with fields.
    const parse_layout& layout() const noexcept { return layout_; }
    /// Bytes read from the source but not consumed: the start of the lines after the last one
    /// read, for a caller that goes on by reading the source itself. Valid until the next call.
    std::string_view pending() const noexcept {
        return {pos_, static_cast<std::size_t>(end_ - pos_)};
    }

private:
    struct feed;

    template <text::detail::scan_kind Kind, class Sink>
    int scan(Sink& sink);
    template <class Sink>
    int scan_data(Sink& sink);
    template <bool Store>
    int read_data(double* out);
    int read_first(std::vector<double>& values);
    bool refill();

    byte_source& src_;
    std::unique_ptr<char[]> buffer_;
    std::size_t capacity_;
    const char* pos_ = nullptr;
    const char* end_ = nullptr;
    bool at_end_ = false;
    bool failed_ = false;
    bool plain_;  // the default format: the contract above without options
    error_kind last_error_ = error_kind::none;
    std::uint64_t line_number_ = 0;
    std::uint64_t rows_to_skip_;
    parse_layout layout_;
    std::vector<double> first_;  // the first data line, for a first call in filling mode
};

}  // namespace lagstat::harness
