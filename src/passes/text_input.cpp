#include "passes/text_input.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <new>
#include <utility>

#include "source/compressed_source.hpp"
#include "source/open_input.hpp"

namespace lagstat::passes {

pass_error text_input::open(const char* path, input::interrupt_check interrupted,
                            const input::text_options& options) {
    int err = 0;
    std::unique_ptr<input::byte_source> source = input::open_input(path, err, interrupted);
    if (!source) {
        // EINTR comes back only when the interrupt check stopped an open that waited.
        if (err == EINTR) return {failure::interrupted};
        return {failure::open_input, err};
    }
    return open_source(std::move(source), options);
}

pass_error text_input::open_source(std::unique_ptr<input::byte_source> source,
                                   const input::text_options& options, std::size_t reader_buffer) {
    source_ = std::move(source);
    // The file as it was before the source peeked at its first bytes: taken after that peek,
    // a line appended meanwhile would pass for one the file had when it was opened.
    if (plain_file_fd() >= 0) source_->plain_file_opened(opened_size_, opened_mtime_);
    reader_.reset(new (std::nothrow) input::record_reader(*source_, options, reader_buffer));
    if (!reader_) return {failure::no_memory};
    columns_ = reader_->read_record(first_);
    if (columns_ > 0) return {};
    // A damaged compressed stream can decode to a malformed first line before its check sums fail.
    if (reader_->failed() || damaged()) return read_error();
    const input::error_kind why = reader_->last_error();
    if (why == input::error_kind::column_out_of_range || why == input::error_kind::duplicate_column) {
        pass_error e{failure::bad_options};
        e.reason = why;
        return e;
    }
    // The C library leaves no errno here: say what is wrong instead of "[Errno 0] Error".
    if (columns_ == 0)
        return {failure::no_data, ENODATA, "No data: the file is empty or its first line is blank"};
    return {failure::bad_first_line, EILSEQ, "Unexpected format of the first line: no field count"};
}

pass_error text_input::read_error() const {
    const int err = source_->error_number();
    if (err == EINTR) return {failure::interrupted};
    return {failure::read_error, err, input::decoder_error_message(*source_)};
}

bool text_input::damaged() const {
    if (!input::is_compressed_source(*source_)) return false;
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
