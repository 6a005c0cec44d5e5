// xz through liblzma.
#include <cerrno>
#include <cstdint>
#include <new>

#include "source/decoder_source.hpp"

#if LAGSTAT_HAVE_COMPRESSION
#include <lzma.h>

namespace lagstat::source::detail {
namespace {

/// Memory the decoder may take. xz -9 needs 65 MiB; the format allows dictionaries up to
/// 1.5 GiB, which nobody writes, while a header of a damaged or hostile file could ask for it.
constexpr std::uint64_t xz_memory_limit = std::uint64_t{1} << 30;

/// Our text for a liblzma failure, and its errno.
step xz_failure(lzma_ret rc) noexcept {
    switch (rc) {
        case LZMA_MEM_ERROR:
            return step::fail(ENOMEM, "out of memory for xz");
        case LZMA_MEMLIMIT_ERROR:
            return step::fail(ENOMEM, "xz stream needs more than 1 GiB of memory to decode");
        case LZMA_FORMAT_ERROR:
            return step::fail(EILSEQ, "not xz data");
        case LZMA_OPTIONS_ERROR:
            return step::fail(EILSEQ, "xz stream with unsupported options");
        case LZMA_DATA_ERROR:
            return step::fail(EILSEQ, "xz data are damaged");
        default:  // LZMA_PROG_ERROR and the like: misuse, not data
            return step::fail(EIO, "internal xz error");
    }
}

class xz_source final : public decoder_source {
public:
    explicit xz_source(decoder_input input) noexcept
        : decoder_source(compression::xz, trailer::nothing, std::move(input)) {
        // LZMA_CONCATENATED: liblzma walks from stream to stream and checks the stream padding
        // (zero bytes in multiples of four) itself, as xz -d does; it needs LZMA_FINISH at the
        // end of the input to tell a complete input from a cut one. Single-threaded decoder.
        const lzma_ret rc = lzma_stream_decoder(&stream_, xz_memory_limit, LZMA_CONCATENATED);
        ready_ = rc == LZMA_OK;
        if (!ready_) {
            const step s = xz_failure(rc);
            fail(s.error, s.message);
        }
    }

    ~xz_source() override {
        if (ready_) lzma_end(&stream_);
    }

    xz_source(const xz_source&) = delete;
    xz_source& operator=(const xz_source&) = delete;

private:
    step decode(const unsigned char*& in, const unsigned char* in_end, unsigned char*& out,
                unsigned char* out_end, bool input_ended) override {
        stream_.next_in = in;
        stream_.avail_in = static_cast<std::size_t>(in_end - in);
        stream_.next_out = out;
        stream_.avail_out = static_cast<std::size_t>(out_end - out);
        const lzma_ret rc = lzma_code(&stream_, input_ended ? LZMA_FINISH : LZMA_RUN);
        in = stream_.next_in;
        out = stream_.next_out;
        switch (rc) {
            case LZMA_OK:
            case LZMA_BUF_ERROR:  // no progress possible: the frame decides what that means
                return {};
            case LZMA_STREAM_END:  // only at the end of the input, with everything checked
                return {step::stream_end};
            default:
                return xz_failure(rc);
        }
    }

    step restart() override {
        // Never asked for: liblzma reports the end only once the input is used up.
        return step::fail(EILSEQ, "trailing garbage after xz data");
    }

    lzma_stream stream_ = LZMA_STREAM_INIT;
    bool ready_ = false;
};

}  // namespace

std::unique_ptr<byte_source> make_xz_source(decoder_input input) {
    return std::unique_ptr<byte_source>(new (std::nothrow) xz_source(std::move(input)));
}

}  // namespace lagstat::source::detail

#endif  // LAGSTAT_HAVE_COMPRESSION
