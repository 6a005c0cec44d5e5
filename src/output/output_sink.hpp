// Buffered output to a file, with every write error reported.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>

#include "base/interrupt.hpp"

namespace lagstat::output {

using lagstat::interrupt_check;

/// Writes through a buffer of its own to a file descriptor it owns.
///
/// A regular file is never left with a torn last line: when a write fails (a full disk), the
/// file is cut back to the end of its last complete line before the error is reported.
class output_sink {
public:
    static constexpr std::size_t default_buffer_size = std::size_t{1} << 18;

    output_sink() = default;
    ~output_sink();  // closes without reporting; call close() to learn of errors
    output_sink(const output_sink&) = delete;
    output_sink& operator=(const output_sink&) = delete;

    /// Creates or truncates path for writing (as fopen "w"). Returns 0 or errno (EINTR when
    /// `interrupted` gave up an open that waited, as on a FIFO without a reader).
    int open(const char* path, std::size_t buffer_size = default_buffer_size,
             interrupt_check interrupted = nullptr);
    /// Writes [data, data + size) after what is buffered: a large block goes out directly,
    /// without a copy. false on a write error (errno kept in error_number()).
    bool write(const char* data, std::size_t size) noexcept;
    /// Writes the buffer out. false on error.
    bool flush() noexcept;
    /// Flushes and closes. false on error (of the flush or of close(2)).
    bool close() noexcept;
    int error_number() const noexcept { return error_number_; }

    // Writes by ranges, for a regular file only (several threads may write its ranges at once):
    // begin_ranges() once, then write_range() of each range from any thread, then, on one
    // thread, ranges_written() with the end of the last range, or range_failed() for the first
    // range in file order that failed. Ranges start at line starts and end with '\n'.

    /// Whether the output is a regular file, which takes writes by ranges.
    bool positional() const noexcept { return regular_; }
    /// Writes the buffered bytes out; returns the offset the first range starts at, or -1 on a
    /// write error.
    off_t begin_ranges() noexcept;
    /// Writes [data, data + size) at offset at (pwrite, resumed after short writes); *done
    /// receives the bytes written. 0 or errno. Safe to call from several threads at once.
    int write_range(const char* data, std::size_t size, off_t at, std::size_t* done) const noexcept;
    /// The ranges up to end are in the file.
    void ranges_written(off_t end) noexcept;
    /// The range at `at` failed with err after `done` bytes of data: the file is cut back to the
    /// end of the last complete line before the failure (ranges after it are dropped too) and
    /// err kept. Returns false.
    bool range_failed(off_t at, const char* data, std::size_t done, int err) noexcept;

private:
    /// Space for `need` <= size_ more bytes; flushes when the buffer lacks room. Null on a write
    /// error (errno kept in error_number()).
    char* reserve(std::size_t need) noexcept;
    int write_all(const char* data, std::size_t size) noexcept;
    /// write_all, and on failure the error kept and a regular file cut back to whole lines.
    bool write_out(const char* data, std::size_t size) noexcept;

    int fd_ = -1;
    bool regular_ = false;
    interrupt_check interrupted_ = nullptr;
    std::unique_ptr<char[]> buffer_;
    std::size_t size_ = 0;
    char* pos_ = nullptr;
    off_t written_ = 0;    // bytes in the file
    off_t line_end_ = 0;   // end of its last complete line
    int error_number_ = 0;
};

}  // namespace lagstat::output
