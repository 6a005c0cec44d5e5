// The chunk parser: the line scan of line_scan.hpp over one window that is never refilled.
#include "text/chunk_parser.hpp"

#include <cstring>

#include "cpu/isa.hpp"
#include "text/line_scan.hpp"

static_assert(lagstat::text::chunk_padding >= lagstat::text::detail::scan_padding,
              "the scan reads that far after the sentinel");

namespace lagstat::text {
namespace {

#include "text/chunk_parse_loop.hpp"

}  // namespace

chunk_result parse_chunk(const char* begin, const char* end, const parse_layout& layout,
                         double* out, std::size_t stride, std::size_t max_records,
                         bool final_span) {
#if defined(LAGSTAT_WIDE_CHUNK_PARSER)
    // The kernel choice (LAGSTAT_KERNEL_ISA) takes the text back to the narrower builds too, so
    // that one setting compares or avoids every wide path.
    const cpu::isa set = cpu::active_isa();
    if (set == cpu::isa::avx512 && cpu::avx512_vbmi2_supported())
        return detail::parse_chunk_avx512(begin, end, layout, out, stride, max_records, final_span);
    if (set != cpu::isa::generic && detail::wide_scan_supported())
        return detail::parse_chunk_wide(begin, end, layout, out, stride, max_records, final_span);
#endif
    return dispatch<detail::default_masks>(begin, end, layout, out, stride, max_records,
                                           final_span);
}

chunk_result detail::parse_chunk_portable(const char* begin, const char* end,
                                          const parse_layout& layout, double* out,
                                          std::size_t stride, std::size_t max_records,
                                          bool final_span) {
    return dispatch<portable_masks>(begin, end, layout, out, stride, max_records, final_span);
}

const char* after_last_newline(const char* begin, const char* end) noexcept {
#if defined(__GLIBC__)
    const void* nl = memrchr(begin, '\n', static_cast<std::size_t>(end - begin));
    return nl != nullptr ? static_cast<const char*>(nl) + 1 : begin;
#else
    for (const char* p = end; p != begin; --p)
        if (p[-1] == '\n') return p;
    return begin;
#endif
}

}  // namespace lagstat::text
