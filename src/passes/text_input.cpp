#include "passes/text_input.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

#include "binary/npy_decode.hpp"
#include "source/compressed_source.hpp"
#include "source/open_input.hpp"
#include "text/chunk_parser.hpp"
#include "text/first_line.hpp"

namespace lagstat::passes {

namespace {

// A buffer of `capacity` bytes and the scan's padding, holding the bytes of the old one.
bool regrow(text_input::text_buffer& t, std::size_t capacity) {
    std::unique_ptr<char[]> bigger(new (std::nothrow) char[capacity + 1 + text::chunk_padding]);
    if (!bigger) return false;
    if (t.length != 0) std::memcpy(bigger.get(), t.bytes.get(), t.length);
    t.bytes = std::move(bigger);
    t.capacity = capacity;
    return true;
}

}  // namespace

pass_error text_input::open(const char* path, source::interrupt_check interrupted,
                            const text::text_options& options) {
    int err = 0;
    std::unique_ptr<source::byte_source> source = source::open_input(path, err, interrupted);
    if (!source) {
        // EINTR comes back only when the interrupt check stopped an open that waited.
        if (err == EINTR) return {failure::interrupted};
        return {failure::open_input, err};
    }
    return open_source(std::move(source), options);
}

pass_error text_input::open_source(std::unique_ptr<source::byte_source> source,
                                   const text::text_options& options, std::size_t buffer_size) {
    source_ = std::move(source);
    // The file as it was before the source peeked at its first bytes: taken after that peek,
    // a line appended meanwhile would pass for one the file had when it was opened.
    if (plain_file_fd() >= 0) source_->plain_file_opened(opened_size_, opened_mtime_);
    layout_ = text::parse_layout(options);
    text_ = text_buffer{};
    npy_ = false;
    if (!regrow(text_, std::max<std::size_t>(buffer_size, 1))) return {failure::no_memory};
    // A .npy file starts with its magic, which no text does: enough bytes to tell, no more (a
    // pipe's writer is not waited for beyond them; text reads on from them to its first line).
    try {
        std::size_t keep = 0;
        while (text_.length < binary::npy_magic_size && !text_.ended &&
               binary::could_be_npy(text_.bytes.get(), text_.length)) {
            if (read_more(keep, max_first_line_bytes) == got::error) return read_error();
        }
    } catch (const std::bad_alloc&) {
        return {failure::no_memory};
    }
    if (binary::is_npy(text_.bytes.get(), text_.length)) return open_npy(options);
    return find_first_line(options.skip_rows);
}

pass_error text_input::npy_refused(std::string why) {
    // A damaged compressed stream can decode to a header that is none before its check sums fail.
    if (damaged()) return read_error();
    npy_why_ = std::move(why);
    return {failure::bad_npy, 0, npy_why_.c_str()};
}

pass_error text_input::open_npy(const text::text_options& options) try {
    npy_ = true;
    text_buffer& t = text_;
    const char* option = !options.comments.empty()                                   ? "comments"
                         : options.skip_rows != 0                                    ? "skip_rows"
                         : options.delimiter != text::delimiter::whitespace_or_comma ? "delimiter"
                                                                                     : nullptr;
    if (option != nullptr)
        return npy_refused(std::string(option) +
                           " is an option of text input, which a .npy file is not");
    std::size_t keep = 0;
    binary::npy_header_result h;
    for (;;) {
        h = binary::parse_npy_header(t.bytes.get(), t.length, npy_layout_);
        if (h.what != binary::npy_header_result::status::need_more) break;
        if (t.ended) {
            // A file cut under the pass is no header's fault.
            if (pass_error e = check_plain_file_end(opened_size_)) return e;
            return npy_refused("Unreadable .npy file: it ends inside its header");
        }
        if (read_more(keep, std::max(h.need, t.capacity)) == got::error) return read_error();
    }
    if (h.what == binary::npy_header_result::status::bad)
        return npy_refused("Unreadable .npy file: " + h.why);
    const binary::npy_layout& l = npy_layout_;
    const bool plain = plain_file_fd() >= 0;
    if (l.by_columns() && !plain)
        return npy_refused(
            "A Fortran-order .npy file is read column by column, which needs a regular "
            "uncompressed file, not a pipe or compressed input (numpy.ascontiguousarray before "
            "saving gives C order)");
    if (l.data_bytes() == 0)
        return {failure::no_data, ENODATA, "No data: the .npy file's array holds no frames"};
    if (const text::error_kind why = layout_.resolve(static_cast<int>(l.columns));
        why != text::error_kind::none) {
        pass_error e{failure::bad_options};
        e.reason = why;
        return e;
    }
    const std::uint64_t file_bytes = l.data_offset + l.data_bytes();
    const pass_error short_data{failure::read_error, EIO,
                                "The data are shorter than the .npy header says"};
    if (plain && static_cast<std::uint64_t>(opened_size_) < file_bytes) return short_data;
    columns_ = layout_.width();
    first_line_ = 1;
    // The bytes after the header, at the buffer's start: the data from their first byte on.
    const std::size_t header = static_cast<std::size_t>(l.data_offset);
    std::memmove(t.bytes.get(), t.bytes.get() + header, t.length - header);
    t.length -= header;

    // The first record, which the lag scan's shift may be, decoded as the batches decode it.
    const std::size_t width = static_cast<std::size_t>(columns_);
    std::vector<int> pick = layout_.selected();
    if (pick.empty())
        for (std::size_t j = 0; j < width; ++j) pick.push_back(static_cast<int>(j));
    first_values_.assign(width, 0.0);
    if (l.by_columns()) {
        // By pread, from a regular file: its first element of every column.
        const off_t data_at = static_cast<off_t>(plain_file_offset() - t.length);
        for (std::size_t j = 0; j < width; ++j) {
            char item[8];
            const off_t at = data_at + static_cast<off_t>(static_cast<std::uint64_t>(pick[j]) *
                                                          l.rows * l.item_bytes);
            ssize_t n;
            while ((n = ::pread(plain_file_fd(), item, l.item_bytes, at)) < 0 && errno == EINTR) {
            }
            if (n < 0) return {failure::read_error, errno};
            if (static_cast<std::size_t>(n) != l.item_bytes) return short_data;
            binary::decode_column(l, item, 1, &first_values_[j], 1);
        }
        return {};
    }
    const std::size_t row = static_cast<std::size_t>(l.row_bytes());
    keep = 0;
    while (t.length < row) {
        if (t.ended) {
            if (pass_error e = check_plain_file_end(opened_size_)) return e;
            return short_data;
        }
        if (read_more(keep, std::max(row, t.capacity)) == got::error) return read_error();
    }
    binary::decode_rows(l, t.bytes.get(), 1, pick.data(), width, first_values_.data(), width);
    return {};
} catch (const std::bad_alloc&) {
    return {failure::no_memory};
}

// One read(2)'s worth more after the buffer's bytes, as a line-by-line reader reads: a pipe's
// writer is not waited for beyond the line looked at. Room comes first from dropping the bytes
// before keep_from (which then becomes 0), else from growing the buffer up to `most` bytes.
text_input::got text_input::read_more(std::size_t& keep_from, std::size_t most) {
    text_buffer& t = text_;
    if (keep_from != 0 && (keep_from == t.length || t.length == t.capacity)) {
        std::memmove(t.bytes.get(), t.bytes.get() + keep_from, t.length - keep_from);
        t.length -= keep_from;
        keep_from = 0;
    }
    if (t.length == t.capacity) {
        if (t.capacity >= most) return got::full;
        if (!regrow(t, std::min(most, t.capacity * 2))) throw std::bad_alloc();
    }
    const long n = source_->read(t.bytes.get() + t.length, t.capacity - t.length);
    if (n > 0) {
        t.length += static_cast<std::size_t>(n);
        return got::bytes;
    }
    if (n < 0) return got::error;
    t.ended = true;
    return got::end;
}

// Passes the line at `at`, its '\n' included, without holding more of it than a read brings.
text_input::got text_input::skip_line(std::size_t& at) {
    text_buffer& t = text_;
    for (;;) {
        const char* const base = t.bytes.get();
        const void* nl = std::memchr(base + at, '\n', t.length - at);
        if (nl != nullptr) {
            at = static_cast<std::size_t>(static_cast<const char*>(nl) - base) + 1;
            return got::bytes;
        }
        at = t.length;
        if (t.ended) return got::end;
        const got g = read_more(at, t.capacity);
        if (g != got::bytes) return g;
    }
}

pass_error text_input::find_first_line(std::uint64_t skip_rows) try {
    text_buffer& t = text_;
    std::size_t at = 0;      // where the line looked at starts; the bytes before it are done with
    std::uint64_t line = 0;  // physical lines before it
    for (; skip_rows > 0; --skip_rows) {
        if (t.ended && at == t.length) break;
        ++line;
        const got g = skip_line(at);
        if (g == got::error) return read_error();
        if (g == got::end) break;
    }
    text::first_line_scan s;
    for (;;) {
        t.bytes[t.length] = '\0';  // the scan's sentinel
        const char* base = t.bytes.get();
        s = text::scan_first_line(base + at, base + t.length, layout_, t.ended);
        line += s.comment_lines;
        at = static_cast<std::size_t>(s.line_start - base);
        if (s.why != text::first_line_scan::stop::cut) break;
        // A comment line is passed, not held.
        if (text::starts_comment_line(base + at, base + t.length, layout_)) {
            ++line;
            if (skip_line(at) == got::error) return read_error();
            continue;
        }
        // Reads on until a line end comes, or until the buffer is full, where the line is looked
        // at again before the buffer grows: a fault in its start refuses it with no more held.
        for (;;) {
            const std::size_t scanned = t.length - at;
            const got g = read_more(at, max_first_line_bytes);
            if (g == got::error) return read_error();
            if (g == got::full) {
                pass_error e{failure::no_memory, ENOMEM,
                             "The first data line is longer than 256 MiB, the most held while its "
                             "fields are counted"};
                e.line = line + 1;
                return e;
            }
            if (g == got::end || t.length == t.capacity) break;
            if (std::memchr(t.bytes.get() + at + scanned, '\n', t.length - at - scanned) != nullptr)
                break;
        }
    }
    const bool found = s.why == text::first_line_scan::stop::found;
    const text::error_kind why = found ? layout_.resolve(s.fields) : text::error_kind::none;
    // A damaged compressed stream can decode to a malformed first line before its check sums fail.
    if ((!found || why != text::error_kind::none) && damaged()) return read_error();
    if (s.why == text::first_line_scan::stop::end_of_data) {
        // The C library leaves no errno here: say what is wrong instead of "[Errno 0] Error".
        return {failure::no_data, ENODATA, "No data: the file is empty or its first line is blank"};
    }
    if (!found) {
        pass_error e{failure::bad_first_line, EILSEQ,
                     "Unexpected format of the first line: no field count"};
        e.line = line + 1;
        e.reason = s.error;
        return e;
    }
    if (why != text::error_kind::none) {
        pass_error e{failure::bad_options};
        e.reason = why;
        return e;
    }
    columns_ = layout_.width();
    first_line_ = line + 1;
    // The text from the first data line on, at the buffer's start.
    std::memmove(t.bytes.get(), t.bytes.get() + at, t.length - at);
    t.length -= at;
    // A first line that the input's end ends is whole without its '\n': give it one, so that
    // the threaded reader does not take it for a line still being written.
    if (t.ended && std::memchr(t.bytes.get(), '\n', t.length) == nullptr) {
        if (t.length == t.capacity && !regrow(t, t.capacity + 1)) return {failure::no_memory};
        t.bytes[t.length++] = '\n';
    }
    t.bytes[t.length] = '\0';
    return {};
} catch (const std::bad_alloc&) {
    return {failure::no_memory};
}

bool text_input::first_record(std::vector<double>& values) const try {
    if (npy_) {
        values = first_values_;
        return true;
    }
    const std::size_t width = static_cast<std::size_t>(columns_);
    values.assign(width, 0.0);
    const char* const begin = text_.bytes.get();
    if (begin == nullptr) return false;
    const text::chunk_result r = text::parse_chunk(begin, begin + text_.length, layout_,
                                                     values.data(), width, 1, text_.ended);
    return r.records == 1;
} catch (const std::bad_alloc&) {
    return false;
}

pass_error text_input::read_error() const {
    const int err = source_->error_number();
    if (err == EINTR) return {failure::interrupted};
    return {failure::read_error, err, source::decoder_error_message(*source_)};
}

bool text_input::damaged() const {
    if (!source::is_compressed_source(*source_)) return false;
    char scratch[1 << 14];
    long got;
    while ((got = source_->read(scratch, sizeof scratch)) > 0) {
    }
    return got < 0;
}

pass_error text_input::check_rest() const {
    if (!damaged()) return {};
    return read_error();
}

pass_error text_input::explain(const pass_error& e) const {
    if (e.kind == failure::bad_line && damaged()) return read_error();
    return e;
}

int text_input::plain_file_fd() const noexcept {
    std::uint64_t handed_out = 0;
    return source_ ? source_->plain_file(&handed_out) : -1;
}

std::uint64_t text_input::plain_file_offset() const noexcept {
    std::uint64_t handed_out = 0;
    if (source_->plain_file(&handed_out) < 0) return 0;
    return handed_out;
}

bool text_input::plain_file_changed() const noexcept {
    struct stat st;
    const int fd = plain_file_fd();
    if (fd < 0 || ::fstat(fd, &st) != 0) return false;
    return st.st_size != opened_size_ || st.st_mtim.tv_sec != opened_mtime_.tv_sec ||
           st.st_mtim.tv_nsec != opened_mtime_.tv_nsec;
}

pass_error text_input::check_plain_file_end(off_t read_up_to) const noexcept {
    struct stat st;
    const int fd = plain_file_fd();
    if (fd < 0 || ::fstat(fd, &st) != 0 || st.st_size >= read_up_to) return {};
    return {failure::read_error, EIO, "The file became shorter while it was read"};
}

}  // namespace lagstat::passes
