// The record reader written literally: a character state machine over a stdio stream.
// It is the oracle that the fast reader is checked against, and the baseline it is timed against.
#pragma once

#include <cstdio>

namespace lagstat::reference {

/// Reads one line of stream with getc/ungetc and converts its fields with atof. capacity <= 0
/// counts the fields without storing them. Returns the field count, 0 at the end of the data
/// (an empty or blank line, or the end of the file) or -1 (a malformed line, a field of more than
/// 256 characters, more fields than capacity, or a stream error). Whitespace and the decimal
/// point are those of the current locale: call it under the C locale.
int read_record(std::FILE* stream, double* out, int capacity);

}  // namespace lagstat::reference

#include <cstdint>
#include <vector>

#include "text/text_options.hpp"

namespace lagstat::reference {

/// The reader with text options, written as literally: getc/ungetc, one character and one state
/// at a time, atof, the whole line's fields kept and the selected ones copied out. read() returns
/// what the line walker's calls (tests/harness) return as the passes make them: the first data
/// line (after the skipped rows and comment lines; its field count fixes every later line's,
/// usecols are resolved against it), then one record per call; the record's width, 0 at the end
/// of the data, or -1 with error() telling why. Call it under the C locale.
class option_reader {
public:
    option_reader(std::FILE* stream, text::text_options options);

    int read(std::vector<double>& record);
    text::error_kind error() const { return error_; }
    /// Physical lines read, the current one included.
    std::uint64_t line_number() const { return line_; }

private:
    enum class outcome { record, blank, comment, fault };
    outcome read_line(std::vector<double>& fields);
    int fail(text::error_kind why);

    std::FILE* stream_;
    text::text_options options_;
    std::uint64_t rows_left_;
    std::uint64_t line_ = 0;
    std::size_t fields_ = 0;  // of the first data line; 0 until it is read
    std::vector<std::size_t> selected_;
    text::error_kind error_ = text::error_kind::none;
};

}  // namespace lagstat::reference
