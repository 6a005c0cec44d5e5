// The chunk parser's loop over lines, written once and compiled in two translation units: for the
// baseline instruction set (chunk_parser.cpp) and, on x86-64, for AVX2 (chunk_parser_wide.cpp).
// Included after text/line_scan.hpp, inside an unnamed namespace of lagstat::text.
#pragma once

// One line into out. Not inlined into the loop over lines: the scan keeps its window, sink and
// counts in registers, which the loop's own state would take from it.
template <detail::scan_kind Kind, bool Select, class Masks>
[[gnu::noinline]] int scan_record(const char*& p, const char*& end, const parse_layout& layout,
                                  double* out, detail::span_feed& feed,
                                  detail::line_report& report) {
    return detail::scan_line<Kind, Masks>(
        p, end, layout, detail::record_sink<true, Select>(out, layout), feed, report);
}

// Whether Masks brings a kernel of whole lines of the default format (chunk_parser_avx512.cpp).
template <class Masks, class = void>
struct has_line_kernel : std::false_type {};
template <class Masks>
struct has_line_kernel<Masks, std::void_t<decltype(&Masks::parse_lines)>> : std::true_type {};

template <detail::scan_kind Kind, bool Select, class Masks>
chunk_result parse(const char* begin, const char* end, const parse_layout& layout, double* out,
                   std::size_t stride, std::size_t max_records, bool final_span) {
    chunk_result result;
    const char* p = begin;
    const char* window_end = end;
    // Lines the line kernel leaves go to the scan one by one; after a run of them the kernel
    // waits for more and more lines before it tries again (up to 64), so that a file of shapes it
    // never takes costs it almost nothing.
    [[maybe_unused]] unsigned kernel_wait = 0, kernel_backoff = 0;
    for (;;) {
        if constexpr (Kind == detail::scan_kind::plain && !Select &&
                      has_line_kernel<Masks>::value) {
            if (kernel_wait == 0 && p != end && result.records != max_records) {
                const std::size_t n =
                    Masks::parse_lines(p, end, layout.fields(), out + result.records * stride,
                                       stride, max_records - result.records);
                result.records += n;
                result.lines += n;
                kernel_backoff = n != 0                        ? 0
                                 : kernel_backoff * 2 + 1 < 64 ? kernel_backoff * 2 + 1
                                                               : 64;
                kernel_wait = kernel_backoff;
            } else if (kernel_wait != 0) {
                --kernel_wait;
            }
        }
        if (p == end) break;
        if (result.records == max_records) {
            result.why = chunk_result::stop::full;
            break;
        }
        const char* const line_start = p;
        detail::line_report report;
        detail::span_feed feed;
        const int n = scan_record<Kind, Select, Masks>(p, window_end, layout,
                                                       out + result.records * stride, feed, report);
        result.lines += report.comment_lines;
        result.blank_lines += report.blank_lines;
        const char* const start = Kind != detail::scan_kind::plain ? report.line_start : line_start;
        if (feed.hit_end && !final_span) {
            p = start;  // cut: whatever the scan made of it, the rest of the line is elsewhere
            break;
        }
        if (n < 0) {
            result.lines += 1;
            result.why = chunk_result::stop::bad_line;
            result.error = report.error;
            p = start;
            break;
        }
        if (n == 0) {
            if (feed.hit_end) {  // the input's end, after comment lines or blanks
                p = end;
                break;
            }
            result.lines += 1;
            result.why = chunk_result::stop::end_of_data;
            break;
        }
        result.lines += 1;
        ++result.records;
    }
    result.resume = p;
    return result;
}

template <class Masks>
chunk_result dispatch(const char* begin, const char* end, const parse_layout& layout, double* out,
                      std::size_t stride, std::size_t max_records, bool final_span) {
    return detail::with_scan_kind(layout, [&](auto kind) {
        if (layout.slots() != nullptr)
            return parse<decltype(kind)::value, true, Masks>(begin, end, layout, out, stride,
                                                             max_records, final_span);
        return parse<decltype(kind)::value, false, Masks>(begin, end, layout, out, stride,
                                                          max_records, final_span);
    });
}
