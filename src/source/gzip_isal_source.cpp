// gzip through ISA-L's inflate, several times faster than zlib's.
//
// The member header is read here rather than by ISA-L: ISA-L 2.30 miscomputes the header CRC
// when the header reaches it in pieces (as from a pipe), and it accepts reserved flag bits that
// zlib refuses. Reading it here makes both inflaters check the same bytes, with zlib's texts,
// in zlib's order. ISA-L then inflates the deflate data and checks the trailer (CRC-32, length).
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>

#include "source/decoder_source.hpp"

#if LAGSTAT_HAVE_COMPRESSION && LAGSTAT_HAVE_ISAL
#include <isa-l.h>

namespace lagstat::source::detail {
namespace {

/// Reads a gzip member header (RFC 1952) byte by byte, whatever pieces it comes in.
class gzip_header_reader {
public:
    bool done() const noexcept { return at_ == field::done; }

    /// Takes header bytes from [in, in_end). A failed step leaves the rest unread.
    step read(const unsigned char*& in, const unsigned char* in_end) noexcept {
        while (at_ != field::done && in != in_end) {
            const step s = read_field(in, in_end);
            if (s.what == step::failed) return s;
        }
        return {};
    }

private:
    enum class field { fixed, extra_length, extra, name, comment, header_crc, done };

    // Flag bits of byte 3.
    static constexpr unsigned flag_hcrc = 0x02, flag_extra = 0x04, flag_name = 0x08,
                              flag_comment = 0x10, flag_reserved = 0xe0;
    static constexpr std::size_t fixed_size = 10;

    /// Takes up to `want` bytes into bytes_ (and the header CRC).
    std::size_t collect(const unsigned char*& in, const unsigned char* in_end, std::size_t want,
                        bool checked) noexcept {
        std::size_t n = static_cast<std::size_t>(in_end - in);
        if (n > want - got_) n = want - got_;
        std::memcpy(bytes_ + got_, in, n);
        if (checked) crc_ = crc32_gzip_refl(crc_, in, n);
        in += n;
        got_ += n;
        return got_;
    }

    step read_field(const unsigned char*& in, const unsigned char* in_end) noexcept {
        switch (at_) {
            case field::fixed: {
                const std::size_t got = collect(in, in_end, fixed_size, true);
                // zlib's checks, as soon as zlib makes them: the magic, then method and flags.
                if (got >= 2 && (bytes_[0] != 0x1f || bytes_[1] != 0x8b))
                    return step::fail(EILSEQ, "incorrect header check");
                if (got >= 4 && bytes_[2] != 8)
                    return step::fail(EILSEQ, "unknown compression method");
                if (got >= 4 && (bytes_[3] & flag_reserved) != 0)
                    return step::fail(EILSEQ, "unknown header flags set");
                if (got == fixed_size) {
                    flags_ = bytes_[3];
                    next(field::extra_length);
                }
                return {};
            }
            case field::extra_length:
                if (collect(in, in_end, 2, true) == 2) {
                    extra_left_ = bytes_[0] | static_cast<std::size_t>(bytes_[1]) << 8;
                    next(field::extra);
                }
                return {};
            case field::extra: {
                std::size_t n = static_cast<std::size_t>(in_end - in);
                if (n > extra_left_) n = extra_left_;
                crc_ = crc32_gzip_refl(crc_, in, n);
                in += n;
                extra_left_ -= n;
                if (extra_left_ == 0) next(field::name);
                return {};
            }
            case field::name:
            case field::comment: {  // zero-terminated
                const auto* zero =
                    static_cast<const unsigned char*>(std::memchr(in, 0, in_end - in));
                const unsigned char* end = zero != nullptr ? zero + 1 : in_end;
                crc_ = crc32_gzip_refl(crc_, in, static_cast<std::uint64_t>(end - in));
                in = end;
                if (zero != nullptr) next(at_ == field::name ? field::comment : field::header_crc);
                return {};
            }
            case field::header_crc:
                if (collect(in, in_end, 2, false) == 2) {
                    const unsigned stored = bytes_[0] | static_cast<unsigned>(bytes_[1]) << 8;
                    if (stored != (crc_ & 0xffff)) return step::fail(EILSEQ, "header crc mismatch");
                    next(field::done);
                }
                return {};
            case field::done:
                break;
        }
        return {};
    }

    /// Moves to `to`, or past it to the next field the flags call for.
    void next(field to) noexcept {
        got_ = 0;
        if (to == field::extra_length && (flags_ & flag_extra) == 0) to = field::name;
        if (to == field::extra && extra_left_ == 0) to = field::name;
        if (to == field::name && (flags_ & flag_name) == 0) to = field::comment;
        if (to == field::comment && (flags_ & flag_comment) == 0) to = field::header_crc;
        if (to == field::header_crc && (flags_ & flag_hcrc) == 0) to = field::done;
        at_ = to;
    }

    field at_ = field::fixed;
    unsigned char bytes_[fixed_size] = {};
    std::size_t got_ = 0;
    unsigned flags_ = 0;
    std::size_t extra_left_ = 0;
    std::uint32_t crc_ = 0;
};

const char* isal_message(int rc) noexcept {
    switch (rc) {
        case ISAL_INVALID_BLOCK:
            return "invalid deflate block";
        case ISAL_INVALID_SYMBOL:
            return "invalid literal/length or distance code";
        case ISAL_INVALID_LOOKBACK:
            return "invalid distance too far back";
        case ISAL_INCORRECT_CHECKSUM:
            // ISA-L does not say whether the CRC or the length failed; damage to the data breaks
            // the CRC, so this is zlib's text for the common case.
            return "incorrect data check";
        default:
            return "invalid deflate data";
    }
}

class isal_gzip_source final : public decoder_source {
public:
    explicit isal_gzip_source(decoder_input input) noexcept
        : decoder_source(compression::gzip, trailer::zero_padding, std::move(input)),
          state_(new (std::nothrow) inflate_state) {
        if (!state_) {
            fail(ENOMEM, "out of memory for ISA-L");
            return;
        }
        isal_inflate_init(state_.get());
        state_->crc_flag = ISAL_GZIP_NO_HDR_VER;  // deflate data, then a checked gzip trailer
    }

private:
    step decode(const unsigned char*& in, const unsigned char* in_end, unsigned char*& out,
                unsigned char* out_end, bool) override {
        if (!header_.done()) {
            const step s = header_.read(in, in_end);
            if (s.what == step::failed || !header_.done()) return s;
        }
        state_->next_in = const_cast<std::uint8_t*>(in);
        state_->avail_in = static_cast<std::uint32_t>(in_end - in);    // <= decoder_input_size
        state_->next_out = out;
        state_->avail_out = static_cast<std::uint32_t>(out_end - out);  // <= max_decode_size
        const int rc = isal_inflate(state_.get());
        in = state_->next_in;
        out = state_->next_out;
        if (rc < 0) return step::fail(EILSEQ, isal_message(rc));
        // Finished once the trailer is read and checked; next_in is then just past it.
        if (state_->block_state == ISAL_BLOCK_FINISH) return {step::stream_end};
        return {};
    }

    step restart() override {
        isal_inflate_reset(state_.get());
        state_->crc_flag = ISAL_GZIP_NO_HDR_VER;
        header_ = gzip_header_reader();
        return {};
    }

    std::unique_ptr<inflate_state> state_;
    gzip_header_reader header_;
};

}  // namespace

std::unique_ptr<byte_source> make_isal_gzip_source(decoder_input input) {
    return std::unique_ptr<byte_source>(new (std::nothrow) isal_gzip_source(std::move(input)));
}

}  // namespace lagstat::source::detail

#elif LAGSTAT_HAVE_COMPRESSION

namespace lagstat::source::detail {

std::unique_ptr<byte_source> make_isal_gzip_source(decoder_input input) {
    return make_zlib_gzip_source(std::move(input));
}

}  // namespace lagstat::source::detail

#endif
