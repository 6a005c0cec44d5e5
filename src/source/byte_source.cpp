// File descriptor and memory byte sources.
#include "source/byte_source.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>


namespace lagstat::source {
namespace detail {
namespace {

// Largest count handed to one read(2); Linux transfers at most about 2 GiB per call anyway.
constexpr std::size_t max_read_size = std::size_t{1} << 30;

}  // namespace
}  // namespace detail

fd_source::~fd_source() {
    if (fd_ >= 0) ::close(fd_);
}

fd_source::fd_source(int fd, interrupt_check interrupted) noexcept
    : fd_(fd), interrupted_(interrupted) {
    struct stat st;
    regular_ = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (regular_) {
        opened_size_ = st.st_size;
        opened_mtime_ = st.st_mtim;
    }
}

int fd_source::plain_file(std::uint64_t* handed_out) const noexcept {
    if (!regular_) return -1;
    *handed_out = offset_;
    return fd_;
}

bool fd_source::plain_file_opened(off_t& size, timespec& mtime) const noexcept {
    if (!regular_) return false;
    size = opened_size_;
    mtime = opened_mtime_;
    return true;
}

bool fd_source::stop() noexcept {
    if (worker_stop_ != nullptr) {
        if (!worker_stop_->load()) return false;
        error_number_ = ECANCELED;
        return true;
    }
    if (interrupted_ == nullptr || !interrupted_()) return false;
    error_number_ = EINTR;
    return true;
}

bool fd_source::wait_readable() noexcept {
    // A worker blocks all signals, so nothing would interrupt a read that waits: wait in slices
    // instead. Regular files are always ready; this costs one poll(2) per read.
    pollfd ready{fd_, POLLIN, 0};
    for (;;) {
        if (stop()) return false;
        // Ready, hung up, failed (read then tells), or even a failed poll: go and read.
        if (::poll(&ready, 1, worker_wake_ms) != 0) return true;
    }
}

long fd_source::read(char* buf, std::size_t cap) {
    cap = std::min(cap, detail::max_read_size);
    for (;;) {
        if (worker_stop_ != nullptr && !wait_readable()) return -1;
        const ssize_t n = ::read(fd_, buf, cap);
        if (n >= 0) {
            offset_ += static_cast<std::uint64_t>(n);
            return stop() ? -1 : static_cast<long>(n);
        }
        if (errno != EINTR) {
            error_number_ = errno;
            return -1;
        }
        if (stop()) return -1;
    }
}

long memory_source::read(char* buf, std::size_t cap) {
    const std::size_t n = std::min({cap, chunk_, size_ - pos_});
    if (n != 0) std::memcpy(buf, data_ + pos_, n);
    pos_ += n;
    return static_cast<long>(n);
}

}  // namespace lagstat::source
