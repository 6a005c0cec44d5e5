#include "passes/text_input.hpp"

#include <cerrno>
#include <new>

#include "input/compressed_source.hpp"

namespace lagstat::passes {

pass_error text_input::open(const char* path, input::interrupt_check interrupted) {
    int err = 0;
    source_ = input::open_input(path, err, interrupted);
    if (!source_) {
        // EINTR comes back only when the interrupt check stopped an open that waited.
        if (err == EINTR) return {failure::interrupted};
        return {failure::open_input, err};
    }
    reader_.reset(new (std::nothrow) input::record_reader(*source_));
    if (!reader_) return {failure::no_memory};
    columns_ = reader_->read_record(first_);
    if (columns_ > 0) return {};
    // A damaged compressed stream can decode to a malformed first line before its check sums fail.
    if (reader_->failed() || damaged()) return read_error();
    // The C library leaves no errno here: say what is wrong instead of "[Errno 0] Error".
    if (columns_ == 0)
        return {failure::no_data, ENODATA, "No data: the file is empty or its first line is blank"};
    return {failure::bad_first_line, EILSEQ, "Unexpected format of the first line: no field count"};
}

pass_error text_input::read_error() const {
    const int err = reader_->error_number();
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

pass_error text_input::line_error() const {
    // A damaged compressed stream can decode to a malformed line before its check sums fail.
    if (reader_->failed() || damaged()) return read_error();
    pass_error e{failure::bad_line};
    e.line = reader_->line_number();
    return e;
}

}  // namespace lagstat::passes
