// Detection of compressed input by its magic bytes, and what the passes ask of a source.
#include "source/compressed_source.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "source/decoder_source.hpp"

namespace lagstat::input {
namespace detail {
namespace {

#if LAGSTAT_HAVE_COMPRESSION

enum class raw_state { open, at_end, failed };

/// Gives back the bytes peeked from raw, then raw's own bytes unchanged.
class replay_source final : public byte_source {
public:
    replay_source(std::unique_ptr<byte_source> raw, const unsigned char* peeked, std::size_t count,
                  raw_state state, int error) noexcept
        : raw_(std::move(raw)), count_(count), state_(state), raw_error_(error) {
        std::memcpy(peeked_, peeked, count);
    }

    long read(char* buf, std::size_t cap) override {
        if (cap == 0) return 0;
        if (pos_ < count_) {
            const std::size_t n = std::min(cap, count_ - pos_);
            std::memcpy(buf, peeked_ + pos_, n);
            pos_ += n;
            return static_cast<long>(n);
        }
        if (state_ == raw_state::at_end) return 0;
        if (state_ == raw_state::open) {
            const long n = raw_->read(buf, std::min(cap, max_decode_size));
            if (n >= 0) {
                if (n == 0) state_ = raw_state::at_end;
                return n;
            }
            state_ = raw_state::failed;
            raw_error_ = raw_->error_number();
        }
        error_number_ = raw_error_;
        return -1;
    }

    void set_worker_stop(const std::atomic<bool>* stop) noexcept override {
        raw_->set_worker_stop(stop);
    }

    // Plain text: the raw file's bytes, less those peeked and not yet handed out again.
    int plain_file(std::uint64_t* handed_out) const noexcept override {
        if (state_ == raw_state::failed) return -1;
        const int fd = raw_->plain_file(handed_out);
        if (fd >= 0) *handed_out -= count_ - pos_;
        return fd;
    }
    bool plain_file_opened(off_t& size, timespec& mtime) const noexcept override {
        return state_ != raw_state::failed && raw_->plain_file_opened(size, mtime);
    }

private:
    std::unique_ptr<byte_source> raw_;
    unsigned char peeked_[max_magic_size] = {};
    std::size_t count_;
    std::size_t pos_ = 0;
    raw_state state_;
    int raw_error_;
};

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
    unsigned char head[detail::max_magic_size] = {};
    std::size_t count = 0;
    detail::raw_state state = detail::raw_state::open;
    int error = 0;
    detail::match found{compression::none, true};
    // A pipe may give one byte at a time: read until the bytes so far settle the question.
    while (found.could_grow) {
        const long n =
            raw->read(reinterpret_cast<char*>(head + count), detail::max_magic_size - count);
        if (n > 0) {
            count += static_cast<std::size_t>(n);
            found = detail::match_magic(head, count);
        } else {
            state = n == 0 ? detail::raw_state::at_end : detail::raw_state::failed;
            error = n == 0 ? 0 : raw->error_number();
            break;
        }
    }
    // Allocation failures give null rather than throw: callers are C-style code paths.
    if (found.format != compression::none) {
        detail::decoder_input input{std::move(raw), nullptr, count};
        input.buffer.reset(new (std::nothrow) unsigned char[detail::decoder_input_size]);
        if (!input.buffer) return nullptr;
        std::memcpy(input.buffer.get(), head, count);
        return detail::make_decoder(found.format, gzip_with, std::move(input));
    }
    return std::unique_ptr<byte_source>(
        new (std::nothrow) detail::replay_source(std::move(raw), head, count, state, error));
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

}  // namespace lagstat::input
