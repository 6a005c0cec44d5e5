// Transparent gzip input: a byte source that inflates gzip data and passes anything else through.
#pragma once

#include <memory>

#include "input/byte_source.hpp"

namespace lagstat::input {

/// Looks at the first two bytes of raw. If they are gzip's magic (0x1f 0x8b), the result is a
/// source that inflates raw; otherwise it is a source that gives the peeked bytes back and then
/// the rest of raw unchanged. Only raw's reads are used (no seeking), so pipes work too. A plain
/// text file of the tabulated format never starts with 0x1f, so the test is by content alone.
///
/// Gzip input: members follow one another and read as one stream, as gzip(1) and `cat a.gz b.gz`
/// have it. Zero bytes after a complete member (tape padding) are ignored up to the end of the
/// input. A read of the inflating source fails (-1) with error_number():
/// - EILSEQ: the bytes are not valid gzip: a bad header after the magic, bad deflate data, a CRC
///   or length mismatch in a member's trailer, or bytes other than zeros or a further member
///   after a complete member;
/// - EIO: the input ends inside a member (a truncated file). A file cut exactly at a member
///   boundary cannot be told from a complete one and reads as the members before the cut;
/// - ENOMEM: zlib could not allocate its state;
/// - raw's own errno when a read of raw fails.
/// Data inflated before a failure are handed out first; the failure is reported by the read
/// after them and by every read thereafter. Memory use is fixed (an input buffer and zlib's
/// 32 KiB window), whatever the length of the input.
///
/// Peeking never fails: a failed first read of raw is reported by the first read of the result.
/// The result is null only when memory runs out (raw is then released; report ENOMEM).
/// Built without zlib (LAGSTAT_HAVE_ZLIB unset), gzip is not recognised and raw is returned.
std::unique_ptr<byte_source> detect_gzip(std::unique_ptr<byte_source> raw);

/// True if src is an inflating source made by detect_gzip.
bool is_gzip_source(const byte_source& src) noexcept;

/// A short English description of the last gzip failure of src ("incorrect data check",
/// "unexpected end of file", ...), or null if src is not an inflating source or has not failed
/// on gzip grounds (a failed read of the underlying input gives null too: its errno says all).
/// The text lives as long as src.
const char* gzip_error_message(const byte_source& src) noexcept;

}  // namespace lagstat::input
