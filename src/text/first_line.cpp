// The first data line: the line scan of line_scan.hpp, counting, over the text a reader holds.
#include "text/first_line.hpp"

#include "text/chunk_parser.hpp"
#include "text/line_scan.hpp"

namespace lagstat::text {
namespace {

template <detail::scan_kind Kind>
first_line_scan scan(const char* begin, const char* end, const parse_layout& layout,
                     bool final_span) {
    const char* p = begin;
    const char* window_end = end;
    detail::line_report report;
    detail::span_feed feed;
    const int n = detail::scan_line<Kind, detail::default_masks>(
        p, window_end, layout, detail::count_sink{}, feed, report);
    first_line_scan r;
    r.comment_lines = report.comment_lines;
    r.line_start = Kind != detail::scan_kind::plain ? report.line_start : begin;
    if (feed.hit_end && !final_span) return r;  // cut, whatever the scan made of it
    if (n < 0) {
        r.why = first_line_scan::stop::bad_line;
        r.error = report.error;
    } else if (n == 0) {
        r.why = first_line_scan::stop::end_of_data;
    } else {
        r.why = first_line_scan::stop::found;
        r.fields = n;
    }
    return r;
}

}  // namespace

first_line_scan scan_first_line(const char* begin, const char* end, const parse_layout& layout,
                                bool final_span) {
    return detail::with_scan_kind(layout, [&](auto kind) {
        return scan<decltype(kind)::value>(begin, end, layout, final_span);
    });
}

bool starts_comment_line(const char* p, const char* end, const parse_layout& layout) noexcept {
    if (layout.plain()) return false;
    const unsigned char* const classes = layout.classes();
    while (p != end && classes[static_cast<unsigned char>(*p)] == detail::space_char) ++p;
    return p != end && classes[static_cast<unsigned char>(*p)] == detail::comment_char;
}

}  // namespace lagstat::text
