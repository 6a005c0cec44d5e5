// The record reader: one line of tabulated text to one record of doubles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "input/byte_source.hpp"

namespace lagstat::input {

/// Reads lines of the tabulated format from a byte source through a large buffer of its own.
///
/// Format: fields of number characters separated by whitespace (the C locale's six
/// characters), by commas, or both; a comma always ends a field, even an empty one; a field
/// holds at most 256 characters; the data end at the first empty or blank line or at the
/// end of the input.
class record_reader {
public:
    static constexpr std::size_t default_buffer_size = std::size_t{1} << 20;

    explicit record_reader(byte_source& src, std::size_t buffer_size = default_buffer_size);

    /// Reads one line. capacity <= 0 selects counting mode (nothing is stored, out unused).
    /// Returns n > 0 (the line's field count), 0 (end of data) or -1 (a malformed line, a field
    /// longer than 256 characters, more than capacity fields in filling mode, or a read error).
    /// After -1 the reader's position is undefined and the caller gives the input up.
    int read_record(double* out, int capacity);

    /// Counting mode on the next line that also keeps the line's values, so that the line can be
    /// used as data without reading it again. Same results as read_record(nullptr, 0).
    int read_record(std::vector<double>& values);

    /// True once a read from the source has failed (the stream's error indicator).
    bool failed() const noexcept { return failed_; }
    /// errno of the failed read, 0 if none failed.
    int error_number() const noexcept { return src_.error_number(); }
    /// Number of lines read so far, the current one included (1-based line of the last call).
    std::uint64_t line_number() const noexcept { return line_number_; }

private:
    enum class mode { counting, filling, keeping };

    template <mode M>
    int scan_line(double* out, int capacity, std::vector<double>* values);
    bool refill();

    byte_source& src_;
    std::unique_ptr<char[]> buffer_;
    std::size_t capacity_;
    const char* pos_ = nullptr;
    const char* end_ = nullptr;
    bool at_end_ = false;
    bool failed_ = false;
    std::uint64_t line_number_ = 0;
};

}  // namespace lagstat::input
