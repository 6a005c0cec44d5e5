// The decoders' shared frame: refills, stream boundaries, padding and kept failures.
#include "source/decoder_source.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace lagstat::source::detail {

const char* const truncated_message = "unexpected end of file";

decoder_source::decoder_source(compression format, trailer after, decoder_input input) noexcept
    : format_(format),
      after_(after),
      raw_(std::move(input.raw)),
      input_(std::move(input.buffer)),
      in_(input_.get()),
      in_end_(input_.get() + input.primed) {}

void decoder_source::fail(int error, const char* message) noexcept {
    state_ = state::failed;
    failure_errno_ = error != 0 ? error : EIO;
    message_ = message;
}

long decoder_source::read(char* buf, std::size_t cap) {
    if (state_ == state::open && cap > 0) {
        auto* const start = reinterpret_cast<unsigned char*>(buf);
        unsigned char* out = start;
        unsigned char* const out_end = start + std::min(cap, max_decode_size);
        while (out != out_end && state_ == state::open) advance(out, out_end);
        // Data decoded before a failure or the end go out first.
        if (out != start) return static_cast<long>(out - start);
    }
    if (state_ == state::failed) {
        error_number_ = failure_errno_;
        return -1;
    }
    return 0;
}

void decoder_source::advance(unsigned char*& out, unsigned char* out_end) {
    if (between_streams_) {
        if (in_ == in_end_) {
            if (raw_at_end_) {
                state_ = state::at_end;
            } else {
                refill();
            }
        } else if (after_ == trailer::zero_padding && (in_padding_ || *in_ == 0)) {
            skip_padding();
        } else {
            between_streams_ = false;
            const step s = restart();
            if (s.what == step::failed) fail(s.error, s.message);
        }
        return;
    }
    const unsigned char* const in_before = in_;
    unsigned char* const out_before = out;
    const step s = decode(in_, in_end_, out, out_end, raw_at_end_);
    if (s.what == step::failed) {
        fail(s.error, s.message);
    } else if (s.what == step::stream_end) {
        between_streams_ = true;
    } else if (in_ == in_before && out == out_before) {
        // No progress with room to write: the library waits for input that may never come.
        if (raw_at_end_) {
            fail(EIO, truncated_message);
        } else {
            refill();
        }
    }
}

void decoder_source::refill() {
    unsigned char* const base = input_.get();
    const auto kept = static_cast<std::size_t>(in_end_ - in_);
    if (kept == decoder_input_size) {
        // Every library here takes in what it is given, so a full buffer is always used up;
        // refuse rather than spin should one ever stall on it.
        fail(EILSEQ, "compressed data the decoder cannot take in");
        return;
    }
    if (kept != 0 && in_ != base) std::memmove(base, in_, kept);
    const long n = raw_->read(reinterpret_cast<char*>(base + kept), decoder_input_size - kept);
    in_ = base;
    in_end_ = base + kept + (n > 0 ? static_cast<std::size_t>(n) : 0);
    if (n == 0) {
        raw_at_end_ = true;
    } else if (n < 0) {
        fail(raw_->error_number(), nullptr);
    }
}

void decoder_source::skip_padding() {
    in_padding_ = true;
    const unsigned char* p = in_;
    while (p != in_end_ && *p == 0) ++p;
    in_ = p;
    // Zeros run to the end of the input; a further stream after them is not read either.
    if (p != in_end_) fail(EILSEQ, "trailing garbage after gzip data");
}

}  // namespace lagstat::source::detail
