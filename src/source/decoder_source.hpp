// The frame the decoders share: the compressed input buffer, the walk from stream to stream,
// and failures kept and reported after the data before them. Each format adds its library.
#pragma once

#include <cstddef>
#include <memory>

#include "source/compressed_source.hpp"

namespace lagstat::source::detail {

/// Largest count handed to a library at once (several count in 32 bits).
constexpr std::size_t max_decode_size = std::size_t{1} << 30;
/// Size of a decoder's compressed input buffer.
constexpr std::size_t decoder_input_size = std::size_t{256} << 10;
/// Longest magic (bzip2's): the most bytes detection peeks.
constexpr std::size_t max_magic_size = 10;

/// Text of a stream that ends before it is complete; all formats say the same.
extern const char* const truncated_message;

/// The outcome of one decoding step.
struct step {
    enum kind { more, stream_end, failed };
    kind what = more;
    int error = 0;                  // failed: the errno
    const char* message = nullptr;  // failed: the text

    static step fail(int error, const char* message) noexcept {
        return {failed, error, message};
    }
};

/// A decoder's raw input and its buffer (decoder_input_size bytes), which holds at its start
/// the `primed` bytes that detection already took from raw.
struct decoder_input {
    std::unique_ptr<byte_source> raw;
    std::unique_ptr<unsigned char[]> buffer;
    std::size_t primed = 0;
};

class decoder_source : public decoded_source {
public:
    long read(char* buf, std::size_t cap) final;
    compression format() const noexcept final { return format_; }
    const char* message() const noexcept final { return message_; }
    void set_worker_stop(const std::atomic<bool>* stop) noexcept final {
        raw_->set_worker_stop(stop);
    }

protected:
    /// What may follow a complete stream besides a further stream: nothing, or zero bytes up to
    /// the end of the input (gzip's tape padding).
    enum class trailer { nothing, zero_padding };

    decoder_source(compression format, trailer after, decoder_input input) noexcept;

    /// Decodes from [in, in_end) into [out, out_end), advancing in and out past what it used.
    /// input_ended: no byte follows in_end. `more` with neither pointer moved means the library
    /// needs more input; stream_end means a stream is complete and in is just past it.
    virtual step decode(const unsigned char*& in, const unsigned char* in_end,
                        unsigned char*& out, unsigned char* out_end, bool input_ended) = 0;

    /// Readies the library for a further stream after stream_end.
    virtual step restart() = 0;

    /// Records a failure; the first read reports it (for a library that cannot start).
    void fail(int error, const char* message) noexcept;

private:
    void advance(unsigned char*& out, unsigned char* out_end);
    void refill();
    void skip_padding();

    enum class state { open, at_end, failed };

    compression format_;
    trailer after_;
    std::unique_ptr<byte_source> raw_;
    std::unique_ptr<unsigned char[]> input_;
    const unsigned char* in_;
    const unsigned char* in_end_;
    bool raw_at_end_ = false;
    bool between_streams_ = false;
    bool in_padding_ = false;
    state state_ = state::open;
    int failure_errno_ = 0;
    const char* message_ = nullptr;
};

// One factory per library, each in its own file; null only when memory runs out.
std::unique_ptr<byte_source> make_zlib_gzip_source(decoder_input input);
std::unique_ptr<byte_source> make_isal_gzip_source(decoder_input input);
std::unique_ptr<byte_source> make_bzip2_source(decoder_input input);
std::unique_ptr<byte_source> make_xz_source(decoder_input input);
std::unique_ptr<byte_source> make_zstd_source(decoder_input input);

}  // namespace lagstat::source::detail
