// Byte sources the passes' text input draws from.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

#include "base/interrupt.hpp"

namespace lagstat::source {

/// A sequential source of bytes.
class byte_source {
public:
    virtual ~byte_source() = default;

    /// Reads up to cap bytes into buf. Returns the number read (> 0), 0 at the end of the data,
    /// or -1 on a read error, with the error's errno kept in error_number().
    virtual long read(char* buf, std::size_t cap) = 0;

    /// errno of the last failed read (0 if none failed).
    int error_number() const noexcept { return error_number_; }

    /// Hands the source to a worker thread (stop set) or back to the thread that opened it (null).
    /// On a worker the interrupt check is not asked, since it may run only on the opening thread
    /// (the interpreter's does); instead a read that waits for data looks at *stop at least every
    /// worker_wake_ms and fails with ECANCELED once it is true, so that the worker can be joined
    /// even while a pipe's writer keeps silent. Sources that wrap another pass the call on.
    /// Call it only while no read is running.
    virtual void set_worker_stop(const std::atomic<bool>* stop) noexcept { (void)stop; }

    /// For a source that hands out the bytes of a regular file unchanged: the file's descriptor,
    /// and in *handed_out how many of its bytes the source has given so far (where a reader that
    /// takes the file over goes on, with pread, as threads reading ranges do). -1 for any other
    /// source: pipes, decoders, memory.
    virtual int plain_file(std::uint64_t* handed_out) const noexcept {
        (void)handed_out;
        return -1;
    }

    /// For the file plain_file gives: its size and modification time when it was opened, before
    /// any byte of it was read (a peek at magic bytes too), so that a change after that moment
    /// shows, such as a line being written. false for any other source.
    virtual bool plain_file_opened(off_t& size, timespec& mtime) const noexcept {
        (void)size;
        (void)mtime;
        return false;
    }

protected:
    int error_number_ = 0;
};

/// Longest a read on a worker thread waits before it looks at its stop flag again.
constexpr int worker_wake_ms = 50;

using lagstat::interrupt_check;

/// Bytes of a file descriptor, read with read(2). Owns the descriptor and closes it.
class fd_source final : public byte_source {
public:
    explicit fd_source(int fd, interrupt_check interrupted = nullptr) noexcept;
    ~fd_source() override;
    fd_source(const fd_source&) = delete;
    fd_source& operator=(const fd_source&) = delete;
    long read(char* buf, std::size_t cap) override;
    void set_worker_stop(const std::atomic<bool>* stop) noexcept override { worker_stop_ = stop; }
    int plain_file(std::uint64_t* handed_out) const noexcept override;
    bool plain_file_opened(off_t& size, timespec& mtime) const noexcept override;

private:
    bool stop() noexcept;
    bool wait_readable() noexcept;

    int fd_;
    interrupt_check interrupted_;
    const std::atomic<bool>* worker_stop_ = nullptr;
    bool regular_ = false;       // a regular file, not a pipe or a device
    off_t opened_size_ = 0;      // a regular file's, when the source was made
    timespec opened_mtime_{};
    std::uint64_t offset_ = 0;   // bytes read
};

/// Bytes of a memory range that the caller keeps alive; at most `chunk` bytes per read,
/// so tests can split the data anywhere.
class memory_source final : public byte_source {
public:
    memory_source(const char* data, std::size_t size,
                  std::size_t chunk = static_cast<std::size_t>(-1)) noexcept
        : data_(data), size_(size), chunk_(chunk == 0 ? 1 : chunk) {}
    long read(char* buf, std::size_t cap) override;

private:
    const char* data_;
    std::size_t size_;
    std::size_t chunk_;
    std::size_t pos_ = 0;
};

}  // namespace lagstat::source
