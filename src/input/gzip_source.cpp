#include "input/gzip_source.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#if LAGSTAT_HAVE_ZLIB
#include <zlib.h>
#endif

namespace lagstat::input {
namespace detail {
namespace {

/// Largest read handed to zlib at once (its counts are 32-bit).
constexpr std::size_t max_read_size = std::size_t{1} << 30;
/// Size of the compressed input buffer.
constexpr std::size_t gzip_input_size = std::size_t{256} << 10;

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
            const long n = raw_->read(buf, std::min(cap, max_read_size));
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

private:
    std::unique_ptr<byte_source> raw_;
    unsigned char peeked_[2] = {};
    std::size_t count_;
    std::size_t pos_ = 0;
    raw_state state_;
    int raw_error_;
};

#if LAGSTAT_HAVE_ZLIB

/// Inflates a sequence of gzip members read from raw, whose first two bytes (the magic) were
/// already taken from it.
class gzip_source final : public byte_source {
public:
    /// input: a buffer of gzip_input_size bytes.
    gzip_source(std::unique_ptr<byte_source> raw, std::unique_ptr<unsigned char[]> input,
                const unsigned char* magic) noexcept
        : raw_(std::move(raw)), input_(std::move(input)) {
        std::memcpy(input_.get(), magic, 2);
        stream_.next_in = input_.get();
        stream_.avail_in = 2;
        // 16 + MAX_WBITS: gzip wrapper only; zlib checks the header, the CRC-32 and the length.
        const int rc = inflateInit2(&stream_, 16 + MAX_WBITS);
        if (rc == Z_OK) {
            zlib_ready_ = true;
        } else {
            fail(rc == Z_MEM_ERROR ? ENOMEM : EIO,
                 stream_.msg != nullptr ? stream_.msg : "cannot initialise zlib");
        }
    }

    ~gzip_source() override {
        if (zlib_ready_) inflateEnd(&stream_);
    }

    gzip_source(const gzip_source&) = delete;
    gzip_source& operator=(const gzip_source&) = delete;

    long read(char* buf, std::size_t cap) override {
        if (state_ == raw_state::failed) {
            error_number_ = failure_errno_;
            return -1;
        }
        if (state_ == raw_state::at_end || cap == 0) return 0;
        const std::size_t want = std::min(cap, max_read_size);
        stream_.next_out = reinterpret_cast<unsigned char*>(buf);
        stream_.avail_out = static_cast<uInt>(want);
        while (stream_.avail_out > 0 && state_ == raw_state::open) step();
        const std::size_t produced = want - stream_.avail_out;
        if (produced > 0) return static_cast<long>(produced);
        if (state_ == raw_state::failed) {
            error_number_ = failure_errno_;
            return -1;
        }
        return 0;
    }

    const char* message() const noexcept { return message_; }

private:
    /// One step of work: refill the input, skip padding, or inflate what is there.
    void step() {
        if (stream_.avail_in == 0) {
            if (!raw_at_end_) {
                const long n = raw_->read(reinterpret_cast<char*>(input_.get()), gzip_input_size);
                if (n > 0) {
                    stream_.next_in = input_.get();
                    stream_.avail_in = static_cast<uInt>(n);
                } else if (n == 0) {
                    raw_at_end_ = true;
                } else {
                    fail(raw_->error_number(), nullptr);
                }
            } else if (in_member_) {
                fail(EIO, "unexpected end of file");
            } else {
                state_ = raw_state::at_end;
            }
            return;
        }
        if (!in_member_) {
            // After a complete member: either a further member or zeros up to the end.
            if (!in_padding_ && stream_.next_in[0] != 0) {
                in_member_ = true;  // its header is checked by inflate
            } else {
                in_padding_ = true;
                unsigned char* p = stream_.next_in;
                const unsigned char* end = p + stream_.avail_in;
                while (p != end && *p == 0) ++p;
                if (p != end) {
                    fail(EILSEQ, "trailing garbage after gzip data");
                } else {
                    stream_.next_in = p;
                    stream_.avail_in = 0;
                }
                return;
            }
        }
        const int rc = inflate(&stream_, Z_NO_FLUSH);
        if (rc == Z_OK) return;
        if (rc == Z_STREAM_END) {
            in_member_ = false;
            inflateReset(&stream_);
            return;
        }
        // Z_BUF_ERROR cannot arise with input and output room both available; report it as
        // bad data all the same rather than loop.
        fail(rc == Z_MEM_ERROR ? ENOMEM : EILSEQ,
             stream_.msg != nullptr ? stream_.msg : "invalid gzip data");
    }

    void fail(int error, const char* message) noexcept {
        state_ = raw_state::failed;
        failure_errno_ = error != 0 ? error : EIO;
        message_ = message;
    }

    std::unique_ptr<byte_source> raw_;
    std::unique_ptr<unsigned char[]> input_;
    z_stream stream_{};
    bool zlib_ready_ = false;
    bool raw_at_end_ = false;
    bool in_member_ = true;
    bool in_padding_ = false;
    raw_state state_ = raw_state::open;
    int failure_errno_ = 0;
    const char* message_ = nullptr;
};

#endif  // LAGSTAT_HAVE_ZLIB

}  // namespace
}  // namespace detail

std::unique_ptr<byte_source> detect_gzip(std::unique_ptr<byte_source> raw) {
#if LAGSTAT_HAVE_ZLIB
    if (!raw) return raw;
    unsigned char head[2] = {};
    std::size_t count = 0;
    detail::raw_state state = detail::raw_state::open;
    int error = 0;
    while (count < 2) {  // a pipe may give one byte at a time
        const long n = raw->read(reinterpret_cast<char*>(head + count), 2 - count);
        if (n > 0) {
            count += static_cast<std::size_t>(n);
        } else if (n == 0) {
            state = detail::raw_state::at_end;
            break;
        } else {
            state = detail::raw_state::failed;
            error = raw->error_number();
            break;
        }
    }
    // Allocation failures give null rather than throw: callers are C-style code paths.
    if (count == 2 && head[0] == 0x1f && head[1] == 0x8b) {
        std::unique_ptr<unsigned char[]> input(
            new (std::nothrow) unsigned char[detail::gzip_input_size]);
        if (!input) return nullptr;
        return std::unique_ptr<byte_source>(
            new (std::nothrow) detail::gzip_source(std::move(raw), std::move(input), head));
    }
    return std::unique_ptr<byte_source>(
        new (std::nothrow) detail::replay_source(std::move(raw), head, count, state, error));
#else
    return raw;
#endif
}

bool is_gzip_source(const byte_source& src) noexcept {
#if LAGSTAT_HAVE_ZLIB
    return dynamic_cast<const detail::gzip_source*>(&src) != nullptr;
#else
    (void)src;
    return false;
#endif
}

const char* gzip_error_message(const byte_source& src) noexcept {
#if LAGSTAT_HAVE_ZLIB
    if (const auto* gz = dynamic_cast<const detail::gzip_source*>(&src)) return gz->message();
#else
    (void)src;
#endif
    return nullptr;
}

}  // namespace lagstat::input
