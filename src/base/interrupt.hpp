// The one way the layers below the Python faces learn that a signal wants the pass stopped.
#pragma once

namespace lagstat {

/// Asked by a byte source while a read waits or after a blocking call returned EINTR, and by
/// an output when an open or a write was interrupted: true gives up with EINTR, so that the
/// caller can act on the signal (an interpreter's KeyboardInterrupt); false, or no check at
/// all, goes on as if the signal had not come. Called without any lock the caller holds.
using interrupt_check = bool (*)() noexcept;

}  // namespace lagstat
