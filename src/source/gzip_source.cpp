// gzip through zlib: the reference inflater, and the one used where ISA-L is missing.
#include <cerrno>
#include <new>

#include "source/decoder_source.hpp"

#if LAGSTAT_HAVE_COMPRESSION
#include <zlib.h>

namespace lagstat::source::detail {
namespace {

class zlib_gzip_source final : public decoder_source {
public:
    explicit zlib_gzip_source(decoder_input input) noexcept
        : decoder_source(compression::gzip, trailer::zero_padding, std::move(input)) {
        // 16 + MAX_WBITS: gzip wrapper only; zlib checks the header, the CRC-32 and the length.
        const int rc = inflateInit2(&stream_, 16 + MAX_WBITS);
        if (rc == Z_OK) {
            ready_ = true;
        } else {
            fail(rc == Z_MEM_ERROR ? ENOMEM : EIO,
                 rc == Z_MEM_ERROR ? "out of memory for zlib" : "cannot initialise zlib");
        }
    }

    ~zlib_gzip_source() override {
        if (ready_) inflateEnd(&stream_);
    }

    zlib_gzip_source(const zlib_gzip_source&) = delete;
    zlib_gzip_source& operator=(const zlib_gzip_source&) = delete;

private:
    step decode(const unsigned char*& in, const unsigned char* in_end, unsigned char*& out,
                unsigned char* out_end, bool) override {
        stream_.next_in = const_cast<Bytef*>(in);
        stream_.avail_in = static_cast<uInt>(in_end - in);  // at most decoder_input_size
        stream_.next_out = out;
        stream_.avail_out = static_cast<uInt>(out_end - out);  // at most max_decode_size
        const int rc = inflate(&stream_, Z_NO_FLUSH);
        in = stream_.next_in;
        out = stream_.next_out;
        switch (rc) {
            case Z_OK:
            case Z_BUF_ERROR:  // no progress possible: the frame decides what that means
                return {};
            case Z_STREAM_END:
                return {step::stream_end};
            case Z_MEM_ERROR:
                return step::fail(ENOMEM, "out of memory for zlib");
            default:  // Z_DATA_ERROR; Z_NEED_DICT and Z_STREAM_ERROR cannot arise with gzip
                // zlib's texts are fixed strings ("incorrect data check", ...).
                return step::fail(EILSEQ,
                                  stream_.msg != nullptr ? stream_.msg : "invalid gzip data");
        }
    }

    step restart() override {
        inflateReset(&stream_);  // its header is checked by inflate
        return {};
    }

    z_stream stream_{};
    bool ready_ = false;
};

}  // namespace

std::unique_ptr<byte_source> make_zlib_gzip_source(decoder_input input) {
    return std::unique_ptr<byte_source>(new (std::nothrow) zlib_gzip_source(std::move(input)));
}

}  // namespace lagstat::source::detail

#endif  // LAGSTAT_HAVE_COMPRESSION
