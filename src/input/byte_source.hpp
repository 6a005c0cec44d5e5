// Byte sources the record reader draws from.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace lagstat::input {

/// A sequential source of bytes.
class byte_source {
public:
    virtual ~byte_source() = default;

    /// Reads up to cap bytes into buf. Returns the number read (> 0), 0 at the end of the data,
    /// or -1 on a read error, with the error's errno kept in error_number().
    virtual long read(char* buf, std::size_t cap) = 0;

    /// errno of the last failed read (0 if none failed).
    int error_number() const noexcept { return error_number_; }

protected:
    int error_number_ = 0;
};

/// Asked while a read waits or after it returned: true stops the read, which then fails with
/// EINTR (so that a caller can act on a signal, such as an interpreter's KeyboardInterrupt).
using interrupt_check = bool (*)() noexcept;

/// Bytes of a file descriptor, read with read(2). Owns the descriptor and closes it.
class fd_source final : public byte_source {
public:
    explicit fd_source(int fd, interrupt_check interrupted = nullptr) noexcept
        : fd_(fd), interrupted_(interrupted) {}
    ~fd_source() override;
    fd_source(const fd_source&) = delete;
    fd_source& operator=(const fd_source&) = delete;
    long read(char* buf, std::size_t cap) override;

private:
    bool stop() noexcept;

    int fd_;
    interrupt_check interrupted_;
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

/// Opens a file for reading, compressed (gzip, bzip2, xz, zstd: see compressed_source.hpp) or
/// plain. On failure returns null and sets err to errno (EINTR when `interrupted` stopped an open
/// that waited, as on a FIFO without a writer).
std::unique_ptr<byte_source> open_input(const char* path, int& err,
                                        interrupt_check interrupted = nullptr);

}  // namespace lagstat::input
