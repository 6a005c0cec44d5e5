// The first data line of an input, found and counted in the text a reader holds: its field count
// fixes every later line's and resolves usecols.
#pragma once

#include <cstdint>

#include "text/text_options.hpp"

namespace lagstat::text {

/// What the look at the text before and at the first data line found.
struct first_line_scan {
    enum class stop : unsigned char {
        found,        // the first data line: fields, at line_start
        cut,          // the line at line_start runs into the span's end: more text decides
        end_of_data,  // an empty or blank line (or the input's end) before any data line
        bad_line,     // the first data line is refused: error tells why
    };
    stop why = stop::cut;
    int fields = 0;
    /// Comment lines passed before line_start; they are skipped, not data.
    std::uint64_t comment_lines = 0;
    /// Where the first data line (found) or the cut line (cut) starts.
    const char* line_start = nullptr;
    error_kind error = error_kind::none;
};

/// Scans [begin, end), which starts a line, for the first data line of layout (not resolved yet):
/// comment lines are passed, fields are checked and counted, not converted. final_span: the
/// input ends at `end`, so that a last line without its '\n' is whole. *end must be NUL with
/// chunk_padding readable bytes after it (see chunk_parser.hpp).
first_line_scan scan_first_line(const char* begin, const char* end, const parse_layout& layout,
                                bool final_span);

/// Whether the line at p (whose bytes run to the NUL at end) is a comment line of layout: its
/// first non-blank character is a comment character.
bool starts_comment_line(const char* p, const char* end, const parse_layout& layout) noexcept;

}  // namespace lagstat::text
