#include "passes/thread_team.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

namespace lagstat::passes {

namespace {

// Blocks every signal on the calling thread for its lifetime; threads started meanwhile inherit
// the full mask.
class signals_blocked {
public:
    signals_blocked() noexcept {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &saved_);
    }
    ~signals_blocked() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
    signals_blocked(const signals_blocked&) = delete;
    signals_blocked& operator=(const signals_blocked&) = delete;

private:
    sigset_t saved_;
};

// How long a thread that waits for the team (a helper for the next job, the caller for the
// helpers to finish) stays awake before it sleeps on a condition: a pass hands out two jobs per
// batch of a few milliseconds, with a few microseconds between them, and waking a sleeping
// thread costs tens of microseconds (more in a virtual machine), which each batch would pay
// twice on every thread. About 50 microseconds.
constexpr int spin_rounds = 1 << 11;

inline void spin_pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// Spins until ready() or the spin rounds run out; whether ready() held.
template <class Ready>
bool spin_until(Ready ready) noexcept {
    for (int i = 0; i < spin_rounds; ++i) {
        if (ready()) return true;
        spin_pause();
    }
    return ready();
}

}  // namespace

thread_team::thread_team(std::size_t threads) {
    if (threads <= 1) return;
    signals_blocked blocked;
    helpers_.reserve(threads - 1);
    try {
        for (std::size_t i = 1; i < threads; ++i) helpers_.emplace_back([this, i] { serve(i); });
    } catch (...) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_.store(true, std::memory_order_release);
        }
        start_.notify_all();
        for (std::thread& t : helpers_) t.join();
        throw;
    }
}

thread_team::~thread_team() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_.store(true, std::memory_order_release);
    }
    start_.notify_all();
    for (std::thread& t : helpers_) t.join();
}

void thread_team::serve(std::size_t index) {
    std::size_t seen = 0;
    for (;;) {
        auto ready = [&] {
            return stopping_.load(std::memory_order_acquire) ||
                   generation_.load(std::memory_order_acquire) != seen;
        };
        if (!spin_until(ready)) {
            std::unique_lock<std::mutex> lock(mutex_);
            start_.wait(lock, ready);
        }
        if (stopping_.load(std::memory_order_acquire)) return;
        seen = generation_.load(std::memory_order_acquire);
        (*job_.load(std::memory_order_acquire))(index);
        if (pending_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            // Under the mutex: the caller tests the count under it before it sleeps.
            std::lock_guard<std::mutex> lock(mutex_);
            done_.notify_one();
        }
    }
}

void thread_team::run(const std::function<void(std::size_t)>& job) {
    if (helpers_.empty()) {
        job(0);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        job_.store(&job, std::memory_order_relaxed);
        pending_.store(helpers_.size(), std::memory_order_relaxed);
        generation_.fetch_add(1, std::memory_order_release);
    }
    start_.notify_all();
    job(0);
    auto finished = [&] { return pending_.load(std::memory_order_acquire) == 0; };
    if (spin_until(finished)) return;
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, finished);
}

namespace {

// The cgroup's CPU quota in processors (rounded up), 0 when none is set or none can be read.
std::size_t cgroup_cpu_limit(const std::string& root) noexcept {
    try {
        // cgroup v2: "max 100000" or "<quota> <period>" in the process's own group.
        std::ifstream self(root + "/proc/self/cgroup");
        std::string line, group;
        while (std::getline(self, line)) {
            if (line.rfind("0::", 0) == 0) group = line.substr(3);
        }
        for (const std::string& dir : {root + "/sys/fs/cgroup" + group, root + "/sys/fs/cgroup"}) {
            std::ifstream max(dir + "/cpu.max");
            std::string quota;
            double period = 0;
            if (max >> quota >> period && quota != "max" && period > 0) {
                const double cpus = std::stod(quota) / period;
                if (cpus > 0) return static_cast<std::size_t>(std::ceil(cpus));
            }
        }
        // cgroup v1.
        std::ifstream q(root + "/sys/fs/cgroup/cpu/cpu.cfs_quota_us"),
            p(root + "/sys/fs/cgroup/cpu/cpu.cfs_period_us");
        double quota = 0, period = 0;
        if (q >> quota && p >> period && quota > 0 && period > 0)
            return static_cast<std::size_t>(std::ceil(quota / period));
    } catch (...) {
    }
    return 0;
}

}  // namespace

std::size_t available_cores(const std::string& root) noexcept {
    std::size_t cores = 0;
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) cores = static_cast<std::size_t>(CPU_COUNT(&set));
    if (cores == 0) {
        const unsigned hw = std::thread::hardware_concurrency();
        cores = hw == 0 ? 1 : hw;
    }
    const std::size_t quota = cgroup_cpu_limit(root);
    if (quota != 0 && quota < cores) cores = quota;
    return cores;
}

}  // namespace lagstat::passes
