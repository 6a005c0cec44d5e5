// Buffered output over a file descriptor, reporting every failure with its errno.

#include "output/output_sink.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace lagstat::output {

output_sink::~output_sink() {
    // Like fclose on an abandoned stream: what was written so far still reaches the file (a pass
    // that fails midway keeps the lines before the failure), but errors go unreported.
    if (fd_ >= 0) close();
}

int output_sink::open(const char* path, std::size_t buffer_size, interrupt_check interrupted) {
    if (fd_ >= 0) return EBUSY;  // still open: its buffered bytes would be lost
    buffer_.reset();
    size_ = 0;
    pos_ = nullptr;
    written_ = line_end_ = 0;
    error_number_ = 0;
    interrupted_ = interrupted;
    if (buffer_size == 0) buffer_size = default_buffer_size;

    std::unique_ptr<char[]> buffer(new (std::nothrow) char[buffer_size]);
    if (!buffer) return error_number_ = ENOMEM;
    int fd;
    while ((fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666)) < 0 &&
           errno == EINTR) {
        if (interrupted_ != nullptr && interrupted_()) break;
    }
    if (fd < 0) return error_number_ = errno;

    struct stat st;
    regular_ = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    fd_ = fd;
    buffer_ = std::move(buffer);
    size_ = buffer_size;
    pos_ = buffer_.get();
    return 0;
}

/// Writes all of [data, data + size), resuming after short writes and after signals the
/// interrupt check lets pass. 0 or errno.
int output_sink::write_all(const char* data, std::size_t size) noexcept {
    while (size > 0) {
        const ssize_t n = ::write(fd_, data, size);
        if (n < 0) {
            if (errno != EINTR) return errno;
            if (interrupted_ != nullptr && interrupted_()) return EINTR;
            continue;
        }
        if (n == 0) return EIO;  // no progress and no reason given
        // Where the last complete line of the file now ends.
        const void* nl = ::memrchr(data, '\n', static_cast<std::size_t>(n));
        if (nl != nullptr) line_end_ = written_ + (static_cast<const char*>(nl) - data) + 1;
        written_ += n;
        data += n;
        size -= static_cast<std::size_t>(n);
        // A write into a pipe that a signal cut short returns what it wrote, not EINTR: ask as
        // if it had (errno says so), or a reader that stopped reading would keep us forever.
        if (size > 0 && interrupted_ != nullptr) {
            errno = EINTR;
            if (interrupted_()) return EINTR;
        }
    }
    return 0;
}

char* output_sink::reserve(std::size_t need) noexcept {
    if (error_number_ != 0 || fd_ < 0) {
        if (error_number_ == 0) error_number_ = EBADF;
        return nullptr;
    }
    if (static_cast<std::size_t>(buffer_.get() + size_ - pos_) >= need) return pos_;
    return flush() ? pos_ : nullptr;
}

bool output_sink::write(const char* data, std::size_t size) noexcept {
    if (size <= size_ / 4) {
        char* p = reserve(size);
        if (p == nullptr) return false;
        std::memcpy(p, data, size);
        pos_ = p + size;
        return true;
    }
    return flush() && write_out(data, size);
}

bool output_sink::flush() noexcept {
    if (error_number_ != 0) return false;
    if (fd_ < 0) {
        error_number_ = EBADF;
        return false;
    }
    const auto pending = static_cast<std::size_t>(pos_ - buffer_.get());
    pos_ = buffer_.get();
    return write_out(buffer_.get(), pending);
}

bool output_sink::write_out(const char* data, std::size_t size) noexcept {
    const int err = write_all(data, size);
    if (err == 0) return true;
    error_number_ = err;
    // A full disk must not leave half a line that a reader would take for a number.
    if (regular_ && line_end_ < written_) (void)::ftruncate(fd_, line_end_);
    return false;
}

off_t output_sink::begin_ranges() noexcept {
    return flush() ? written_ : -1;
}

int output_sink::write_range(const char* data, std::size_t size, off_t at,
                             std::size_t* done) const noexcept {
    *done = 0;
    while (*done < size) {
        const ssize_t n = ::pwrite(fd_, data + *done, size - *done, at + static_cast<off_t>(*done));
        if (n < 0) {
            // A regular file's write is not left waiting for a signal: EINTR is retried.
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return EIO;  // no progress and no reason given
        *done += static_cast<std::size_t>(n);
    }
    return 0;
}

void output_sink::ranges_written(off_t end) noexcept {
    written_ = line_end_ = end;
    // Where write(2) would have left the descriptor, for what is written after the ranges.
    (void)::lseek(fd_, end, SEEK_SET);
}

bool output_sink::range_failed(off_t at, const char* data, std::size_t done, int err) noexcept {
    const void* nl = done != 0 ? ::memrchr(data, '\n', done) : nullptr;
    line_end_ = nl != nullptr ? at + (static_cast<const char*>(nl) - data) + 1 : at;
    written_ = line_end_;
    error_number_ = err;
    // A full disk must not leave half a line that a reader would take for a number, nor the
    // ranges after it that did find room.
    (void)::ftruncate(fd_, line_end_);
    (void)::lseek(fd_, line_end_, SEEK_SET);
    return false;
}

bool output_sink::close() noexcept {
    if (fd_ < 0) {
        if (error_number_ == 0) error_number_ = EBADF;
        return false;
    }
    const bool flushed = flush();
    const int fd = fd_;
    fd_ = -1;
    buffer_.reset();
    size_ = 0;
    pos_ = nullptr;
    // close(2) is not retried on EINTR: on Linux the descriptor is gone either way.
    if (::close(fd) != 0 && flushed) error_number_ = errno;
    return flushed && error_number_ == 0;
}

}  // namespace lagstat::output
