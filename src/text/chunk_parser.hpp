// The parse of a span of whole lines in memory, for parsing one input on several threads: a reader
// fills buffers with whole lines, each worker parses one span with the same line scan
// (line_scan.hpp) and gets the same records, bit for bit, as a reader going line by line.
#pragma once

#include <cstddef>
#include <cstdint>

#include "text/text_options.hpp"

namespace lagstat::text {

/// Bytes after a span's end that parse_chunk reads: the byte at `end` must be NUL (the sentinel
/// that stops every scan loop) and the chunk_padding bytes after it readable (their values do not
/// matter). A span whose last byte is '\n' needs no sentinel: the scan interprets nothing after a
/// line's '\n', and a new line starts only before `end`; so the pieces of one buffer, cut at line
/// ends, can be parsed in place side by side (the padding bytes must still be readable).
inline constexpr std::size_t chunk_padding = 32;

struct chunk_result {
    enum class stop : unsigned char {
        end_of_span,  // every line of the span is parsed, but a cut last line (see resume)
        end_of_data,  // an empty or blank line: the data end there
        bad_line,     // a line refused: error tells why; lines is its 1-based number in the span
        full,         // max_records records were written; lines after them are left
    };
    std::size_t records = 0;  // records written to out
    /// Physical lines consumed, comment lines included: for bad_line the refused line and for
    /// end_of_data the blank line count too, so that the number of the line before the span plus
    /// lines is that line's number in the input.
    std::uint64_t lines = 0;
    /// Of those lines, blank ones skipped (a layout that skips them).
    std::uint64_t blank_lines = 0;
    stop why = stop::end_of_span;
    /// Where parsing can go on: the line after the last consumed; for bad_line the refused line's
    /// start; for end_of_span the span's end, or the start of a last line without its '\n' in a
    /// span that is not final (a cut line, to be parsed again with the bytes that complete it).
    const char* resume = nullptr;
    error_kind error = error_kind::none;
};

/// Parses the lines of [begin, end) as data lines of layout (resolved on the input's first data
/// line, see first_line.hpp: the spans start there, the skipped rows and comment lines before
/// it are part of none). Records, layout.width() values each, go to out + k * stride for
/// k = 0, 1, ... up to max_records.
/// Every line of the span must end with '\n' but the last one of a final span (the end of the
/// input); a last line without it in a span that is not final is left (see resume).
/// *end must be NUL with chunk_padding readable bytes after it, unless the span ends with '\n'
/// (see chunk_padding).
chunk_result parse_chunk(const char* begin, const char* end, const parse_layout& layout,
                         double* out, std::size_t stride, std::size_t max_records, bool final_span);

/// The byte after the last '\n' of [begin, end), or begin if there is none: where a span of whole
/// lines ends and the next, cut line starts.
const char* after_last_newline(const char* begin, const char* end) noexcept;

namespace detail {
/// parse_chunk with the portable field kernel instead of the processor's wide one, so that tests
/// on any machine check both paths against each other.
chunk_result parse_chunk_portable(const char* begin, const char* end, const parse_layout& layout,
                                  double* out, std::size_t stride, std::size_t max_records,
                                  bool final_span);
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define LAGSTAT_WIDE_CHUNK_PARSER 1
/// parse_chunk compiled for AVX and BMI2 (digits gathered by vector shuffles and multiply-adds):
/// only on processors for which wide_scan_supported().
chunk_result parse_chunk_wide(const char* begin, const char* end, const parse_layout& layout,
                              double* out, std::size_t stride, std::size_t max_records,
                              bool final_span);
bool wide_scan_supported() noexcept;
#define LAGSTAT_AVX512_CHUNK_PARSER 1
/// parse_chunk compiled for AVX-512 with VBMI and VBMI2, with its whole-line kernel for lines of
/// short fields: only on processors for which cpu::avx512_vbmi2_supported().
chunk_result parse_chunk_avx512(const char* begin, const char* end, const parse_layout& layout,
                                double* out, std::size_t stride, std::size_t max_records,
                                bool final_span);
#endif
}  // namespace detail

}  // namespace lagstat::text
