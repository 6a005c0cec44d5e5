// The walker: the line scan of line_scan.hpp over a buffer that it refills from the byte source,
// with the sentinel and padding the scan needs after the valid data.
#include "harness/line_walker.hpp"

#include <algorithm>
#include <climits>

#include "text/line_scan.hpp"

namespace lagstat::harness {

namespace detail = text::detail;

namespace {

/// The default format's filling: the first `capacity` fields in order, the count returned as it
/// is (a count short of the capacity is told, for the caller's message).
struct fill_sink {
    static constexpr detail::converts conversion = detail::converts::always;
    double* out;
    int capacity;
    bool room(int i) const noexcept { return i < capacity; }
    static int slot(int i) noexcept { return i; }
    void store(int s, double v) noexcept { out[s] = v; }
    int end_line(int count, error_kind& error) const noexcept {
        if (count != capacity && count != 0) error = error_kind::wrong_field_count;
        return count;
    }
};

/// Every field, its value appended (the first data line, whose field count is not known yet).
struct keep_sink {
    static constexpr detail::converts conversion = detail::converts::always;
    std::vector<double>* values;
    static bool room(int i) noexcept { return i < INT_MAX; }
    static int slot(int i) noexcept { return i; }
    void store(int, double v) { values->push_back(v); }
    int end_line(int count, error_kind&) const noexcept { return count; }
};

}  // namespace

// The scan's feed: the next buffer of the source. At the end of the input or on a read error the
// window is left empty at the buffer's start, so that pending() stays valid.
struct line_walker::feed {
    line_walker& reader;
    bool more(const char*& p, const char*& end) {
        const bool got = reader.refill();
        p = reader.pos_;
        end = reader.end_;
        return got;
    }
    bool failed() const noexcept { return reader.failed_; }
};

line_walker::line_walker(byte_source& src, std::size_t buffer_size)
    : line_walker(src, text_options{}, buffer_size) {}

line_walker::line_walker(byte_source& src, const text_options& options, std::size_t buffer_size)
    : src_(src),
      capacity_(buffer_size == 0 ? 1 : buffer_size),
      plain_(options.is_default()),
      rows_to_skip_(options.skip_rows),
      layout_(options) {
    buffer_.reset(new char[capacity_ + 1 + detail::scan_padding]());
    pos_ = end_ = buffer_.get();
}

bool line_walker::refill() {
    const long n = src_.read(buffer_.get(), capacity_);
    if (n <= 0) {
        if (n < 0) {
            failed_ = true;
        } else {
            at_end_ = true;
        }
        pos_ = end_ = buffer_.get();
        buffer_[0] = '\0';
        return false;
    }
    pos_ = buffer_.get();
    end_ = pos_ + n;
    buffer_[static_cast<std::size_t>(n)] = '\0';
    return true;
}

// Inlined: one call per line, as read_record's callers make it.
template <detail::scan_kind Kind, class Sink>
[[gnu::always_inline]] inline int line_walker::scan(Sink& sink) {
    if (failed_) {
        last_error_ = error_kind::read_error;
        return -1;
    }
    last_error_ = error_kind::none;
    if (at_end_) return 0;
    ++line_number_;
    detail::line_report report;
    feed f{*this};
    const int n =
        detail::scan_line<Kind, detail::default_masks>(pos_, end_, layout_, sink, f, report);
    if constexpr (Kind != detail::scan_kind::plain) line_number_ += report.comment_lines;
    last_error_ = report.error;
    return n;
}

// A line with options, by the scan the layout takes.
template <class Sink>
int line_walker::scan_data(Sink& sink) {
    return detail::with_scan_kind(layout_,
                                  [&](auto kind) { return scan<decltype(kind)::value>(sink); });
}

// A data line of the resolved layout, stored into out (Store) or only checked.
template <bool Store>
int line_walker::read_data(double* out) {
    if (Store && layout_.slots() != nullptr) {
        detail::record_sink<Store, true> sink(out, layout_);
        return scan_data(sink);
    }
    detail::record_sink<Store, false> sink(out, layout_);
    return scan_data(sink);
}

int line_walker::read_first(std::vector<double>& values) {
    values.clear();
    for (; rows_to_skip_ > 0; --rows_to_skip_) {
        if (failed_ || at_end_) break;
        ++line_number_;
        feed f{*this};
        if (!detail::skip_rest_of_line(pos_, end_, f)) break;
    }
    if (failed_) {
        last_error_ = error_kind::read_error;
        return -1;
    }
    keep_sink sink{&values};
    const int n = scan_data(sink);
    if (n <= 0) return n;
    last_error_ = layout_.resolve(n);
    if (last_error_ != error_kind::none) return -1;
    const std::vector<int>& selected = layout_.selected();
    if (!selected.empty()) {
        std::vector<double> record(selected.size());
        for (std::size_t k = 0; k < selected.size(); ++k)
            record[k] = values[static_cast<std::size_t>(selected[k])];
        values.swap(record);
    }
    return layout_.width();
}

int line_walker::read_record(double* out, int capacity) {
    if (plain_) {
        if (capacity <= 0) {
            detail::count_sink sink;
            return scan<detail::scan_kind::plain>(sink);
        }
        fill_sink sink{out, capacity};
        return scan<detail::scan_kind::plain>(sink);
    }
    if (!layout_.resolved()) {
        const int n = read_first(first_);
        if (n > 0 && capacity > 0) {
            if (capacity < n) {
                last_error_ = error_kind::wrong_field_count;
                return -1;
            }
            std::copy(first_.begin(), first_.end(), out);
        }
        return n;
    }
    if (capacity <= 0) return read_data<false>(nullptr);
    if (capacity < layout_.width()) {
        last_error_ = error_kind::wrong_field_count;
        return -1;
    }
    return read_data<true>(out);
}

int line_walker::read_record(std::vector<double>& values) {
    values.clear();
    int n;
    if (plain_) {
        keep_sink sink{&values};
        n = scan<detail::scan_kind::plain>(sink);
        if (n > 0 && !layout_.resolved()) layout_.resolve(n);
    } else if (!layout_.resolved()) {
        n = read_first(values);
    } else {
        values.resize(static_cast<std::size_t>(layout_.width()));
        n = read_data<true>(values.data());
    }
    if (n <= 0) values.clear();
    return n;
}

}  // namespace lagstat::harness
