// bzip2 through libbz2.
#include <cerrno>
#include <new>

#include "source/decoder_source.hpp"

#if LAGSTAT_HAVE_COMPRESSION
#include <bzlib.h>

namespace lagstat::source::detail {
namespace {

/// Our text for a libbz2 failure, and its errno.
step bzip2_failure(int rc) noexcept {
    switch (rc) {
        case BZ_MEM_ERROR:
            return step::fail(ENOMEM, "out of memory for bzip2");
        case BZ_DATA_ERROR:
            return step::fail(EILSEQ, "bzip2 data are damaged (a block or check is wrong)");
        case BZ_DATA_ERROR_MAGIC:
            // The first stream's magic was checked by detection: this is what follows a stream.
            return step::fail(EILSEQ, "trailing garbage after bzip2 data");
        default:  // BZ_PARAM_ERROR, BZ_SEQUENCE_ERROR, BZ_CONFIG_ERROR: misuse, not data
            return step::fail(EIO, "internal bzip2 error");
    }
}

class bzip2_source final : public decoder_source {
public:
    explicit bzip2_source(decoder_input input) noexcept
        : decoder_source(compression::bzip2, trailer::nothing, std::move(input)) {
        const step s = start();
        if (s.what == step::failed) fail(s.error, s.message);
    }

    ~bzip2_source() override {
        if (ready_) BZ2_bzDecompressEnd(&stream_);
    }

    bzip2_source(const bzip2_source&) = delete;
    bzip2_source& operator=(const bzip2_source&) = delete;

private:
    step start() noexcept {
        stream_ = bz_stream{};
        // small = 0: the fast decoder, whose memory the block size in the header fixes
        // (at most about 3.7 MB, for bzip2 -9).
        const int rc = BZ2_bzDecompressInit(&stream_, 0, 0);
        ready_ = rc == BZ_OK;
        return ready_ ? step{} : bzip2_failure(rc);
    }

    step decode(const unsigned char*& in, const unsigned char* in_end, unsigned char*& out,
                unsigned char* out_end, bool) override {
        stream_.next_in = reinterpret_cast<char*>(const_cast<unsigned char*>(in));
        stream_.avail_in = static_cast<unsigned>(in_end - in);    // <= decoder_input_size
        stream_.next_out = reinterpret_cast<char*>(out);
        stream_.avail_out = static_cast<unsigned>(out_end - out);  // <= max_decode_size
        const int rc = BZ2_bzDecompress(&stream_);
        in = reinterpret_cast<const unsigned char*>(stream_.next_in);
        out = reinterpret_cast<unsigned char*>(stream_.next_out);
        if (rc == BZ_OK) return {};
        // libbz2 takes bytes only as its bit reader needs them: in is just past the stream.
        if (rc == BZ_STREAM_END) return {step::stream_end};
        return bzip2_failure(rc);
    }

    step restart() override {
        // libbz2 has no reset: a further stream gets a fresh decoder.
        BZ2_bzDecompressEnd(&stream_);
        return start();
    }

    bz_stream stream_{};
    bool ready_ = false;
};

}  // namespace

std::unique_ptr<byte_source> make_bzip2_source(decoder_input input) {
    return std::unique_ptr<byte_source>(new (std::nothrow) bzip2_source(std::move(input)));
}

}  // namespace lagstat::source::detail

#endif  // LAGSTAT_HAVE_COMPRESSION
