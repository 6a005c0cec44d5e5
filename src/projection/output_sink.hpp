// Buffered output to a file, with every write error reported.
#pragma once

#include <cstddef>
#include <memory>

namespace lagstat::projection {

/// Writes through a buffer of its own to a file descriptor it owns.
class output_sink {
public:
    static constexpr std::size_t default_buffer_size = std::size_t{1} << 18;

    output_sink() = default;
    ~output_sink();  // closes without reporting; call close() to learn of errors
    output_sink(const output_sink&) = delete;
    output_sink& operator=(const output_sink&) = delete;

    /// Creates or truncates path for writing (as fopen "w"). Returns 0 or errno.
    int open(const char* path, std::size_t buffer_size = default_buffer_size);
    /// Space for at least `need` more bytes; flushes when the buffer lacks room. Null on a
    /// write error (errno kept in error_number()).
    char* reserve(std::size_t need) noexcept;
    /// Marks the bytes up to p (inside the reserved space) as written.
    void commit(char* p) noexcept { pos_ = p; }
    /// Writes the buffer out. false on error.
    bool flush() noexcept;
    /// Flushes and closes. false on error (of the flush or of close(2)).
    bool close() noexcept;
    int error_number() const noexcept { return error_number_; }

private:
    int fd_ = -1;
    std::unique_ptr<char[]> buffer_;
    std::size_t size_ = 0;
    char* pos_ = nullptr;
    int error_number_ = 0;
};

}  // namespace lagstat::projection
