// Buffered output over a file descriptor, reporting every failure with its errno.

#include "projection/output_sink.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <new>

namespace lagstat::projection {
namespace detail {
namespace {

/// Writes all of [data, data + size), resuming after signals and short writes. 0 or errno.
int write_all(int fd, const char* data, std::size_t size) noexcept {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (written == 0) return EIO;  // no progress and no reason given
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return 0;
}

}  // namespace
}  // namespace detail

output_sink::~output_sink() {
    // Like fclose on an abandoned stream: what was written so far still reaches the file (a pass
    // that fails midway keeps the lines before the failure), but errors go unreported.
    if (fd_ >= 0) close();
}

int output_sink::open(const char* path, std::size_t buffer_size) {
    if (fd_ >= 0) return EBUSY;  // still open: its buffered bytes would be lost
    buffer_.reset();
    size_ = 0;
    pos_ = nullptr;
    error_number_ = 0;
    if (buffer_size == 0) buffer_size = default_buffer_size;

    std::unique_ptr<char[]> buffer(new (std::nothrow) char[buffer_size]);
    if (!buffer) return error_number_ = ENOMEM;
    int fd;
    do {
        fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return error_number_ = errno;

    fd_ = fd;
    buffer_ = std::move(buffer);
    size_ = buffer_size;
    pos_ = buffer_.get();
    return 0;
}

char* output_sink::reserve(std::size_t need) noexcept {
    if (error_number_ != 0 || fd_ < 0) {
        if (error_number_ == 0) error_number_ = EBADF;
        return nullptr;
    }
    if (static_cast<std::size_t>(buffer_.get() + size_ - pos_) >= need) return pos_;
    if (!flush()) return nullptr;
    if (need > size_) {
        // Larger than the whole buffer: grow it once, the contents are already out.
        std::unique_ptr<char[]> bigger(new (std::nothrow) char[need]);
        if (!bigger) {
            error_number_ = ENOMEM;
            return nullptr;
        }
        buffer_ = std::move(bigger);
        size_ = need;
        pos_ = buffer_.get();
    }
    return pos_;
}

bool output_sink::flush() noexcept {
    if (error_number_ != 0) return false;
    if (fd_ < 0) {
        error_number_ = EBADF;
        return false;
    }
    const auto pending = static_cast<std::size_t>(pos_ - buffer_.get());
    pos_ = buffer_.get();
    const int err = detail::write_all(fd_, buffer_.get(), pending);
    if (err != 0) {
        error_number_ = err;
        return false;
    }
    return true;
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

}  // namespace lagstat::projection
