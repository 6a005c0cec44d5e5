#include "python/gil.hpp"

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

namespace lagstat::python {

namespace {

using clock = std::chrono::steady_clock;
constexpr auto poll_interval = std::chrono::milliseconds(50);

// The state PyEval_SaveThread gave the current thread's innermost released region.
thread_local PyThreadState* released_state = nullptr;
thread_local clock::time_point last_poll{};

}  // namespace

gil_released::gil_released() noexcept : outer_(released_state) {
    released_state = PyEval_SaveThread();
}

gil_released::~gil_released() {
    PyThreadState* state = released_state;
    released_state = outer_;
    PyEval_RestoreThread(state);
}

bool signals_raised() noexcept {
    // Only the thread that released the lock may take it back here; any other thread asking
    // (none should) is told to go on.
    if (released_state == nullptr) return false;
    const bool after_eintr = errno == EINTR;
    const clock::time_point now = clock::now();
    if (!after_eintr && now - last_poll < poll_interval) return false;
    last_poll = now;
    PyEval_RestoreThread(released_state);
    const bool raised = PyErr_CheckSignals() != 0;
    released_state = PyEval_SaveThread();
    // Callers retry on false and report EINTR on true: leave no stale EINTR behind a retry.
    errno = raised ? EINTR : 0;
    return raised;
}

namespace {

// The lock: the owning thread (by the address of a thread-local) and its nesting depth. Plain
// atomics, so that a fork in the middle of another thread's pass leaves nothing to unlock in
// the child but a word to clear.
thread_local char thread_tag;
std::atomic<const char*> owner{nullptr};
unsigned depth = 0;  // only the owner touches it

void forget_other_owner() noexcept {
    if (owner.load(std::memory_order_relaxed) != &thread_tag) {
        owner.store(nullptr, std::memory_order_relaxed);
        depth = 0;
    }
}

[[maybe_unused]] const int registered = pthread_atfork(nullptr, nullptr, forget_other_owner);

}  // namespace

bool pass_lock::acquire() {
    if (owner.load(std::memory_order_relaxed) == &thread_tag) {
        ++depth;
        held_ = true;
        return true;
    }
    const char* expected = nullptr;
    if (!owner.compare_exchange_strong(expected, &thread_tag, std::memory_order_acquire)) {
        bool raised = false;
        {
            gil_released unlocked;
            for (;;) {
                expected = nullptr;
                if (owner.compare_exchange_weak(expected, &thread_tag, std::memory_order_acquire))
                    break;
                errno = 0;
                if (signals_raised()) {
                    raised = true;
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        if (raised) return false;
    }
    depth = 1;
    held_ = true;
    return true;
}

pass_lock::~pass_lock() {
    if (!held_) return;
    if (--depth == 0) owner.store(nullptr, std::memory_order_release);
}

}  // namespace lagstat::python
