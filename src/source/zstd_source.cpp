// zstd through libzstd.
#include <cerrno>
#include <new>

#include "source/decoder_source.hpp"

#if LAGSTAT_HAVE_COMPRESSION
#include <zstd.h>
#include <zstd_errors.h>

namespace lagstat::source::detail {
namespace {

class zstd_source final : public decoder_source {
public:
    explicit zstd_source(decoder_input input) noexcept
        : decoder_source(compression::zstd, trailer::nothing, std::move(input)),
          stream_(ZSTD_createDStream()) {
        // The window stays within the library's default limit (ZSTD_d_windowLogMax: 128 MiB),
        // as zstd -d without --memory has it; a frame asking for more fails with ENOMEM.
        if (stream_ == nullptr) fail(ENOMEM, "out of memory for zstd");
    }

    ~zstd_source() override { ZSTD_freeDStream(stream_); }

    zstd_source(const zstd_source&) = delete;
    zstd_source& operator=(const zstd_source&) = delete;

private:
    step decode(const unsigned char*& in, const unsigned char* in_end, unsigned char*& out,
                unsigned char* out_end, bool) override {
        ZSTD_inBuffer input{in, static_cast<std::size_t>(in_end - in), 0};
        ZSTD_outBuffer output{out, static_cast<std::size_t>(out_end - out), 0};
        // Frames follow one another without a reset: the stream takes the next frame (or skips
        // a skippable one) by itself.
        const std::size_t rc = ZSTD_decompressStream(stream_, &output, &input);
        in += input.pos;
        out += output.pos;
        if (ZSTD_isError(rc)) {
            const ZSTD_ErrorCode code = ZSTD_getErrorCode(rc);
            const bool memory = code == ZSTD_error_memory_allocation ||
                                code == ZSTD_error_frameParameter_windowTooLarge;
            // zstd names its errors itself, in fixed texts.
            return step::fail(memory ? ENOMEM : EILSEQ, ZSTD_getErrorName(rc));
        }
        // 0: a frame is complete and all its data are out.
        return rc == 0 ? step{step::stream_end} : step{};
    }

    step restart() override { return {}; }

    ZSTD_DStream* stream_;
};

}  // namespace

std::unique_ptr<byte_source> make_zstd_source(decoder_input input) {
    return std::unique_ptr<byte_source>(new (std::nothrow) zstd_source(std::move(input)));
}

}  // namespace lagstat::source::detail

#endif  // LAGSTAT_HAVE_COMPRESSION
