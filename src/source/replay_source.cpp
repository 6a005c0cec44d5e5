#include "source/replay_source.hpp"

#include <algorithm>
#include <cstring>

#include "source/decoder_source.hpp"

namespace lagstat::source {

bool replay_source::read_ahead(std::size_t max) {
    if (ended_) return false;
    char buf[1 << 14];
    const long n = inner_->read(buf, std::min(sizeof buf, max));
    if (n <= 0) {
        ended_ = true;
        failed_ = n < 0;
        error_number_ = inner_->error_number();
        return false;
    }
    kept_.append(buf, static_cast<std::size_t>(n));
    return true;
}

bool replay_source::keep(std::size_t lines, std::size_t bytes) {
    std::size_t seen = static_cast<std::size_t>(std::count(kept_.begin(), kept_.end(), '\n'));
    while (seen < lines && kept_.size() < bytes) {
        const std::size_t before = kept_.size();
        if (!read_ahead(bytes - before)) break;
        seen += static_cast<std::size_t>(
            std::count(kept_.begin() + static_cast<std::ptrdiff_t>(before), kept_.end(), '\n'));
    }
    return !failed_;
}

long replay_source::read(char* buf, std::size_t cap) {
    if (cap == 0) return 0;
    if (pos_ < kept_.size()) {
        const std::size_t n = std::min(cap, kept_.size() - pos_);
        std::memcpy(buf, kept_.data() + pos_, n);
        pos_ += n;
        return static_cast<long>(n);
    }
    if (failed_) return -1;
    if (ended_) return 0;
    const long n = inner_->read(buf, std::min(cap, detail::max_decode_size));
    if (n < 0) {
        failed_ = ended_ = true;
        error_number_ = inner_->error_number();
    }
    return n;
}

int replay_source::plain_file(std::uint64_t* handed_out) const noexcept {
    if (failed_) return -1;
    // Reading the file on by offset must start after what this source has handed out, not
    // after what it has kept.
    const int fd = inner_->plain_file(handed_out);
    if (fd >= 0) *handed_out -= kept_.size() - pos_;
    return fd;
}

}  // namespace lagstat::source
