// Transparent compressed input: sources that decode gzip, bzip2, xz or zstd data and pass
// anything else through, recognised by the data's first bytes.
#pragma once

#include <memory>

#include "source/byte_source.hpp"

namespace lagstat::source {

enum class compression { none, gzip, bzip2, xz, zstd };

/// The two gzip inflaters: zlib, the reference, and ISA-L's, several times faster. Both check
/// the same things and fail with the same errno; their texts may differ in detail.
enum class inflater { zlib, isal };

/// True if the build has the inflater (ISA-L is optional; zlib comes with compressed input).
bool have_inflater(inflater which) noexcept;

/// ISA-L's where built with it, zlib's otherwise.
inflater default_inflater() noexcept;

/// A source that decodes, or one that hands out a decoding source's bytes (a prefetch).
class decoded_source : public byte_source {
public:
    /// The format decoded; none for a prefetch of plain input.
    virtual compression format() const noexcept = 0;
    /// A short English text for the last failure on the decoder's own grounds, else null.
    virtual const char* message() const noexcept = 0;
};

/// Looks at the first bytes of raw. If they are the magic of a compressed format, the result is
/// a source that decodes raw; otherwise it is a source that gives the peeked bytes back and then
/// the rest of raw unchanged. Only raw's reads are used (no seeking), so pipes work too; peeking
/// reads one byte at a time if that is what raw gives, and stops as soon as the bytes so far
/// rule out every format or settle one. Magic, checked in full so that no text of the
/// tabulated format (digits, signs, points, separators) is taken for compressed data:
///   gzip 1f 8b; bzip2 "BZh" '1'..'9' and the first block's magic 31 41 59 26 53 59 (or the
///   end-of-stream magic 17 72 45 38 50 90 of an empty stream); xz fd 37 7a 58 5a 00;
///   zstd 28 b5 2f fd, or a skippable frame 5? 2a 4d 18.
///
/// Streams follow one another and read as one, as `cat a.gz b.gz` and each format's own tool
/// have it. After a complete stream may come, up to the end of the input:
///   gzip: zero bytes (tape padding), ignored as gzip(1) ignores them;
///   xz: stream padding, zero bytes in multiples of four, as the xz format allows;
///   bzip2, zstd: nothing but further streams (zstd: also skippable frames).
/// A read of a decoding source fails (-1) with error_number():
/// - EILSEQ: the bytes are not valid data of the format: a bad header, bad compressed data, a
///   check (CRC, length, hash) that does not match, or bytes after a complete stream that are
///   none of the above;
/// - EIO: the input ends inside a stream (a truncated file). A file cut exactly at a stream
///   boundary cannot be told from a complete one and reads as the streams before the cut;
/// - ENOMEM: the decoder could not allocate its state, or the stream needs more than the
///   decoder's limit (xz: 1 GiB; zstd: its default window limit, 128 MiB);
/// - raw's own errno when a read of raw fails.
/// Data decoded before a failure are handed out first; the failure is reported by the read after
/// them and by every read thereafter. Memory use is fixed by the stream's header (window or
/// block size), whatever the length of the input.
///
/// Peeking never fails: a failed first read of raw is reported by the first read of the result.
/// The result is null only when memory runs out (raw is then released; report ENOMEM). Built
/// without compressed input (LAGSTAT_HAVE_COMPRESSION unset), raw is returned as it is.
/// gzip_with chooses the gzip inflater (a missing one falls back to zlib).
std::unique_ptr<byte_source> detect_compression(std::unique_ptr<byte_source> raw,
                                                inflater gzip_with = default_inflater());

/// The format src decodes: none unless src came from detect_compression (or is a prefetch over
/// such a source) and found a compressed format.
compression compression_of(const byte_source& src) noexcept;

/// True if src decodes compressed input.
inline bool is_compressed_source(const byte_source& src) noexcept {
    return compression_of(src) != compression::none;
}

/// A short English description of src's last failure on the decoder's grounds ("incorrect data
/// check", "unexpected end of file", ...), or null if src does not decode or has not failed on
/// those grounds (a failed read of the underlying input gives null too: its errno says all).
/// The text lives as long as the program.
const char* decoder_error_message(const byte_source& src) noexcept;

}  // namespace lagstat::source
