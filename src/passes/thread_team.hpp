// The threads of one pass: started with the pass, joined at its end.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace lagstat::passes {

/// The calling thread and size() - 1 helpers, which run one job at a time side by side.
///
/// Helpers start with every signal blocked, so that signals reach the caller's thread (the
/// interpreter's main thread handles them); they live no longer than the team, so a process can
/// fork between passes and its child starts with no thread of ours.
class thread_team {
public:
    /// threads >= 1. Throws std::system_error when a thread cannot be started.
    explicit thread_team(std::size_t threads);
    ~thread_team();
    thread_team(const thread_team&) = delete;
    thread_team& operator=(const thread_team&) = delete;

    std::size_t size() const noexcept { return helpers_.size() + 1; }

    /// Runs job(i) for every i < size(), job(0) on the calling thread, and returns once all
    /// have returned. The job must not throw.
    void run(const std::function<void(std::size_t)>& job);

private:
    void serve(std::size_t index);

    std::vector<std::thread> helpers_;
    std::mutex mutex_;
    std::condition_variable start_, done_;
    // Written under the mutex (so that a thread asleep on a condition cannot miss a change),
    // read without it by threads that wait a little awake before they sleep.
    std::atomic<const std::function<void(std::size_t)>*> job_{nullptr};
    std::atomic<std::size_t> generation_{0};
    std::atomic<std::size_t> pending_{0};
    std::atomic<bool> stopping_{false};
};

/// Threads a pass gets when the caller asks for -1: the processors this process may run on (its
/// CPU affinity), bounded by its cgroup's CPU quota where one is set; at least 1.
/// `root` is where the cgroup files are looked for ("" for the system's; a fake tree in tests).
std::size_t available_cores(const std::string& root = "") noexcept;

}  // namespace lagstat::passes
