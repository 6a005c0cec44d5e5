// The factory of the passes' inputs: a file opened, its compression recognised, its decoding put
// on a thread of its own.
#pragma once

#include <memory>

#include "source/byte_source.hpp"

namespace lagstat::source {

/// Opens a file for reading, compressed (gzip, bzip2, xz, zstd: see compressed_source.hpp) or
/// plain. With decode_thread, compressed input is decoded on a thread of its own while the
/// caller parses (see prefetch_source.hpp); plain input is always read on the caller's thread.
/// On failure returns null and sets err to errno (EINTR when `interrupted` stopped an open that
/// waited, as on a FIFO without a writer).
std::unique_ptr<byte_source> open_input(const char* path, int& err,
                                        interrupt_check interrupted = nullptr,
                                        bool decode_thread = true);

}  // namespace lagstat::source
