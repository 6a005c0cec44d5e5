// A source whose first bytes can be looked at before a reader takes it over: a format is
// recognised from the head of a file (compressed data by their magic, a text layout by its
// first lines), then the same bytes are parsed, so that a pipe, which cannot be read twice,
// loses nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "source/compressed_source.hpp"

namespace lagstat::source {

/// Gives back the bytes read ahead from inner, then the rest of inner unchanged.
class replay_source final : public decoded_source {
public:
    explicit replay_source(std::unique_ptr<byte_source> inner) noexcept
        : inner_(std::move(inner)) {}

    /// One read of inner, keeping at most `max` (> 0) more bytes; as few as it gives, so that a
    /// pipe's writer is never waited for beyond what it has written. false once the input has
    /// ended or failed (exhausted(); error_number() after a failure, which read() reports once it
    /// has handed out the kept bytes). Throws std::bad_alloc.
    bool read_ahead(std::size_t max);
    /// Reads on from the input until the kept bytes hold `lines` line ends, or `bytes` bytes, or
    /// the input ends. false after a read error, as read_ahead. Throws std::bad_alloc.
    bool keep(std::size_t lines, std::size_t bytes);
    /// The bytes kept so far, from the start of the input.
    std::string_view kept() const noexcept { return kept_; }
    /// True once the input has ended (or failed): nothing more comes after kept().
    bool exhausted() const noexcept { return ended_; }
    /// Hands inner over to a decoder that takes kept() as its first bytes; only before read().
    std::unique_ptr<byte_source> release() noexcept { return std::move(inner_); }

    long read(char* buf, std::size_t cap) override;
    void set_worker_stop(const std::atomic<bool>* stop) noexcept override {
        inner_->set_worker_stop(stop);
    }
    int plain_file(std::uint64_t* handed_out) const noexcept override;
    bool plain_file_opened(off_t& size, timespec& mtime) const noexcept override {
        return !failed_ && inner_->plain_file_opened(size, mtime);
    }
    compression format() const noexcept override { return compression_of(*inner_); }
    const char* message() const noexcept override { return decoder_error_message(*inner_); }

private:
    std::unique_ptr<byte_source> inner_;
    std::string kept_;
    std::size_t pos_ = 0;  // kept bytes read() has handed out
    bool ended_ = false;
    bool failed_ = false;
};

}  // namespace lagstat::source
