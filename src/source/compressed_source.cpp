// Detection of compressed input by its magic bytes, and what the passes ask of a source.
#include "source/compressed_source.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "source/decoder_source.hpp"
#include "source/replay_source.hpp"

namespace lagstat::source {
namespace detail {
namespace {

#if LAGSTAT_HAVE_COMPRESSION

struct byte_range {
    unsigned char low, high;
};

constexpr byte_range is(unsigned char c) {
    return {c, c};
}

/// A format's first bytes, each within a range.
struct magic {
    compression format;
    std::size_t size;
    byte_range bytes[max_magic_size];
};

constexpr byte_range bzip2_level{'1', '9'};

constexpr magic magics[] = {
    {compression::gzip, 2, {is(0x1f), is(0x8b)}},
    // bzip2's own four bytes are letters a text could hold; the block magic after them cannot.
    {compression::bzip2,
     10,
     {is('B'), is('Z'), is('h'), bzip2_level, is(0x31), is(0x41), is(0x59), is(0x26), is(0x53),
      is(0x59)}},
    {compression::bzip2,  // an empty stream: the end-of-stream magic at once
     10,
     {is('B'), is('Z'), is('h'), bzip2_level, is(0x17), is(0x72), is(0x45), is(0x38), is(0x50),
      is(0x90)}},
    {compression::xz, 6, {is(0xfd), is('7'), is('z'), is('X'), is('Z'), is(0x00)}},
    {compression::zstd, 4, {is(0x28), is(0xb5), is(0x2f), is(0xfd)}},
    {compression::zstd, 4, {{0x50, 0x5f}, is(0x2a), is(0x4d), is(0x18)}},  // a skippable frame
};

struct match {
    compression format;  // a magic matched in full
    bool could_grow;     // else: more bytes might still match one
};

match match_magic(const unsigned char* head, std::size_t count) noexcept {
    bool could_grow = false;
    for (const magic& m : magics) {
        const std::size_t n = std::min(count, m.size);
        bool fits = true;
        for (std::size_t i = 0; i < n && fits; ++i)
            fits = head[i] >= m.bytes[i].low && head[i] <= m.bytes[i].high;
        if (!fits) continue;
        if (count >= m.size) return {m.format, false};
        could_grow = true;
    }
    return {compression::none, could_grow};
}

std::unique_ptr<byte_source> make_decoder(compression format, inflater gzip_with,
                                          decoder_input input) {
    switch (format) {
        case compression::gzip:
            return gzip_with == inflater::isal && have_inflater(inflater::isal)
                       ? make_isal_gzip_source(std::move(input))
                       : make_zlib_gzip_source(std::move(input));
        case compression::bzip2:
            return make_bzip2_source(std::move(input));
        case compression::xz:
            return make_xz_source(std::move(input));
        case compression::zstd:
            return make_zstd_source(std::move(input));
        case compression::none:
            break;
    }
    return nullptr;
}

#endif  // LAGSTAT_HAVE_COMPRESSION

}  // namespace
}  // namespace detail

bool have_inflater(inflater which) noexcept {
#if LAGSTAT_HAVE_COMPRESSION && LAGSTAT_HAVE_ISAL
    (void)which;
    return true;
#elif LAGSTAT_HAVE_COMPRESSION
    return which == inflater::zlib;
#else
    (void)which;
    return false;
#endif
}

inflater default_inflater() noexcept {
    return have_inflater(inflater::isal) ? inflater::isal : inflater::zlib;
}

std::unique_ptr<byte_source> detect_compression(std::unique_ptr<byte_source> raw,
                                                inflater gzip_with) {
#if LAGSTAT_HAVE_COMPRESSION
    if (!raw) return raw;
    // Allocation failures give null rather than throw: callers are C-style code paths.
    std::unique_ptr<replay_source> head(new (std::nothrow) replay_source(std::move(raw)));
    if (!head) return nullptr;
    detail::match found{compression::none, true};
    try {
        // A pipe may give one byte at a time: read until the bytes so far settle the question.
        while (found.could_grow && head->read_ahead(detail::max_magic_size - head->kept().size())) {
            found = detail::match_magic(reinterpret_cast<const unsigned char*>(head->kept().data()),
                                        head->kept().size());
        }
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    if (found.format != compression::none) {
        const std::size_t count = head->kept().size();
        detail::decoder_input input{nullptr, nullptr, count};
        input.buffer.reset(new (std::nothrow) unsigned char[detail::decoder_input_size]);
        if (!input.buffer) return nullptr;
        std::memcpy(input.buffer.get(), head->kept().data(), count);
        input.raw = head->release();
        return detail::make_decoder(found.format, gzip_with, std::move(input));
    }
    return head;
#else
    (void)gzip_with;
    return raw;
#endif
}

compression compression_of(const byte_source& src) noexcept {
    const auto* decoded = dynamic_cast<const decoded_source*>(&src);
    return decoded != nullptr ? decoded->format() : compression::none;
}

const char* decoder_error_message(const byte_source& src) noexcept {
    const auto* decoded = dynamic_cast<const decoded_source*>(&src);
    return decoded != nullptr ? decoded->message() : nullptr;
}

}  // namespace lagstat::source
