#include "source/open_input.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "source/compressed_source.hpp"
#include "source/prefetch_source.hpp"

namespace lagstat::source {

std::unique_ptr<byte_source> open_input(const char* path, int& err, interrupt_check interrupted,
                                        bool decode_thread) {
    // A signal that the interpreter's handler took after the interpreter last looked, and before
    // this open, interrupts nothing: a FIFO's open would then wait for a writer, perhaps forever.
    // So look once before waiting (EINTR asks the check to look now, not at its next poll).
    if (interrupted != nullptr) {
        errno = EINTR;
        if (interrupted()) {
            err = EINTR;
            return nullptr;
        }
    }
    int fd;
    while ((fd = ::open(path, O_RDONLY | O_CLOEXEC)) < 0 && errno == EINTR) {
        if (interrupted != nullptr && interrupted()) break;
    }
    if (fd < 0) {
        err = errno;
        return nullptr;
    }
    // Sequential reading: let the kernel read ahead generously. Only a hint; failure is harmless.
    (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    std::unique_ptr<byte_source> src(new (std::nothrow) fd_source(fd, interrupted));
    if (!src) {
        ::close(fd);
        err = ENOMEM;
        return nullptr;
    }
    // Compressed input is recognised by its magic bytes, which no text of this format starts with.
    src = detect_compression(std::move(src));
    if (!src) {
        err = ENOMEM;  // the descriptor went with the released source
        return nullptr;
    }
    // Plain text is parsed as fast as it is read; decoding is the slow part worth a thread.
    if (decode_thread && is_compressed_source(*src)) src = prefetch(std::move(src), interrupted);
    err = 0;
    return src;
}

}  // namespace lagstat::source
