// Passes run without the interpreter lock, one at a time per process.
#pragma once

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

namespace lagstat::python {

/// Releases the interpreter lock for its lifetime, so that other Python threads run while a
/// pass reads, parses, accumulates and writes. Nothing inside may touch a Python object.
class gil_released {
public:
    gil_released() noexcept;
    ~gil_released();
    gil_released(const gil_released&) = delete;
    gil_released& operator=(const gil_released&) = delete;

private:
    PyThreadState* outer_;  // a released region inside another (a nested pass) keeps its state
};

/// The interrupt check handed to the passes' byte sources and output (called without the
/// interpreter lock, from the thread that released it): takes the lock back briefly to run the
/// interpreter's signal handlers. True when one raised (KeyboardInterrupt): the exception stays
/// pending for the pass to return with. Polls at most every 50 ms, but at once after a blocking
/// call returned EINTR (errno still EINTR), so Ctrl-C stops a read waiting on a pipe at once.
bool signals_raised() noexcept;

/// Serialises the passes of the process: two threads adding into one dictionary still get exact
/// sums, as when every pass held the interpreter lock. Taken without the interpreter lock and
/// interruptibly; a pass nested in the same thread (a conversion calling back into lagstat)
/// enters at once. A child process made by fork starts with it free.
class pass_lock {
public:
    pass_lock() noexcept = default;
    ~pass_lock();
    pass_lock(const pass_lock&) = delete;
    pass_lock& operator=(const pass_lock&) = delete;

    /// Takes the lock, waiting with the interpreter lock released. false with the signal
    /// handler's exception set when a signal stopped the wait.
    bool acquire();

private:
    bool held_ = false;
};

}  // namespace lagstat::python
