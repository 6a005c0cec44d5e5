// Decoding on a thread of its own: a source whose reads hand out what a worker thread already
// read from the inner source, so that decompression overlaps parsing.
#pragma once

#include <memory>

#include "source/compressed_source.hpp"

namespace lagstat::source {

/// Moves inner's reads to a worker thread, started here and joined when the result is destroyed
/// (no thread outlives the source, so a process may fork between passes). The worker reads
/// inner ahead into a few fixed buffers (prefetch_slots of prefetch_slot_size bytes) and blocks
/// every signal, so that signals reach the caller's threads. Reads of the result give inner's
/// bytes in order, then inner's end or failure (errno and decoder_error_message alike).
///
/// A read that has to wait for the worker wakes every worker_wake_ms to ask `interrupted`, and
/// fails with EINTR when it says stop; it also asks once per buffer handed over, as fd_source
/// asks once per read. `interrupted` runs only on the reading thread; inner's own check is
/// switched off while the worker reads it (byte_source::set_worker_stop).
///
/// Destruction stops the worker within about worker_wake_ms even while inner waits on a pipe
/// whose writer keeps it open and silent: an fd_source polls its descriptor in slices and gives
/// up with ECANCELED. A source that blocks in other ways would hold destruction until it returns.
///
/// When no thread or buffer can be had, inner is returned as it is and read on the caller's
/// thread: slower, not different. Null only if inner is null.
std::unique_ptr<byte_source> prefetch(std::unique_ptr<byte_source> inner,
                                      interrupt_check interrupted = nullptr);

constexpr std::size_t prefetch_slots = 3;
constexpr std::size_t prefetch_slot_size = std::size_t{1} << 20;

}  // namespace lagstat::source
