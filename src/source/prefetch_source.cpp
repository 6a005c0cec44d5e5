// The worker thread that reads a source ahead, and the hand-over of its buffers.
#include "source/prefetch_source.hpp"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

namespace lagstat::source {
namespace detail {
namespace {

/// The worker fills slots in ring order; the reader takes them in the same order. A slot is
/// free, filled (waiting for the reader) or held (being copied out by the reader). The worker
/// writes only a free slot's bytes and the reader reads only the slot it holds, each after
/// learning its state under the mutex, so the bytes themselves need no lock.
class prefetch_source final : public decoded_source {
public:
    prefetch_source(std::unique_ptr<byte_source> inner, interrupt_check interrupted,
                    std::unique_ptr<char[]> storage) noexcept
        : inner_(std::move(inner)),
          interrupted_(interrupted),
          format_(compression_of(*inner_)),
          storage_(std::move(storage)) {}

    ~prefetch_source() override {
        if (!worker_.joinable()) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_.store(true);
        }
        slot_freed_.notify_one();
        worker_.join();
    }

    prefetch_source(const prefetch_source&) = delete;
    prefetch_source& operator=(const prefetch_source&) = delete;

    /// Starts the worker. false (and inner untouched) if no thread can be had.
    bool start() noexcept {
        inner_->set_worker_stop(&stop_);
        // The worker inherits the signal mask of the thread that creates it: block everything
        // around its creation, so that it never runs a handler meant for the reader's thread.
        sigset_t all;
        sigset_t saved;
        sigfillset(&all);
        const bool masked = ::pthread_sigmask(SIG_SETMASK, &all, &saved) == 0;
        try {
            worker_ = std::thread([this] { produce(); });
        } catch (...) {  // std::system_error (EAGAIN), std::bad_alloc
        }
        if (masked) ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
        if (worker_.joinable()) return true;
        inner_->set_worker_stop(nullptr);
        return false;
    }

    /// Gives inner back (after a failed start).
    std::unique_ptr<byte_source> release() noexcept { return std::move(inner_); }

    long read(char* buf, std::size_t cap) override {
        if (cap == 0) return 0;
        if (pos_ == end_) {
            const long status = take_slot();
            if (status <= 0) return status;
        }
        const std::size_t n = std::min(cap, static_cast<std::size_t>(end_ - pos_));
        std::memcpy(buf, pos_, n);
        pos_ += n;
        return static_cast<long>(n);
    }

    compression format() const noexcept override { return format_; }

    const char* message() const noexcept override {
        std::lock_guard<std::mutex> lock(mutex_);
        return message_;
    }

private:
    char* slot_data(std::size_t slot) const noexcept {
        return storage_.get() + slot * prefetch_slot_size;
    }

    /// Worker: reads inner into free slots until its end, a failure or stop.
    void produce() noexcept {
        std::size_t slot = 0;
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(mutex_);
                slot_freed_.wait(lock, [this] { return in_use_ < prefetch_slots || stop_.load(); });
                if (stop_.load()) return;
            }
            const long n = inner_->read(slot_data(slot), prefetch_slot_size);
            const int error = n < 0 ? inner_->error_number() : 0;
            const char* const message = n < 0 ? decoder_error_message(*inner_) : nullptr;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (n > 0) {
                    sizes_[slot] = static_cast<std::size_t>(n);
                    ++in_use_;
                    ++filled_;
                } else {
                    finished_ = true;
                    final_status_ = n;
                    final_errno_ = error;
                    message_ = message;
                }
            }
            slot_filled_.notify_one();
            if (n <= 0) return;
            slot = (slot + 1) % prefetch_slots;
        }
    }

    /// Reader: frees the slot it held and takes the next, waiting for the worker as needed.
    /// Returns 1 with pos_/end_ set, or inner's final status (0, or -1 with error_number_).
    long take_slot() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (holding_) {
            holding_ = false;
            head_ = (head_ + 1) % prefetch_slots;
            --in_use_;
            slot_freed_.notify_one();
        }
        while (filled_ == 0 && !finished_) {
            if (interrupted_ == nullptr) {
                slot_filled_.wait(lock);
                continue;
            }
            const auto wake = std::chrono::milliseconds(worker_wake_ms);
            if (slot_filled_.wait_for(lock, wake) == std::cv_status::timeout &&
                stopped_by_caller(lock))
                return -1;
        }
        if (filled_ == 0) {  // finished: inner's end or failure, after all its data
            if (final_status_ < 0) error_number_ = final_errno_;
            return final_status_;
        }
        --filled_;
        holding_ = true;
        pos_ = slot_data(head_);
        end_ = pos_ + sizes_[head_];
        return stopped_by_caller(lock) ? -1 : 1;
    }

    /// Asks the interrupt check without the lock held (it may run signal handlers for long).
    bool stopped_by_caller(std::unique_lock<std::mutex>& lock) {
        if (interrupted_ == nullptr) return false;
        lock.unlock();
        const bool stop = interrupted_();
        lock.lock();
        if (stop) error_number_ = EINTR;
        return stop;
    }

    std::unique_ptr<byte_source> inner_;
    interrupt_check interrupted_;
    compression format_;
    std::unique_ptr<char[]> storage_;  // prefetch_slots slots of prefetch_slot_size bytes
    std::thread worker_;
    std::atomic<bool> stop_{false};  // also watched by inner's waiting reads

    // Shared, under mutex_.
    mutable std::mutex mutex_;
    std::condition_variable slot_filled_;
    std::condition_variable slot_freed_;
    std::size_t sizes_[prefetch_slots] = {};
    std::size_t in_use_ = 0;  // filled or held
    std::size_t filled_ = 0;  // filled, not yet taken
    bool finished_ = false;
    long final_status_ = 0;
    int final_errno_ = 0;
    const char* message_ = nullptr;

    // The reader's own.
    std::size_t head_ = 0;  // the slot held, or the next to take
    bool holding_ = false;
    const char* pos_ = nullptr;
    const char* end_ = nullptr;
};

}  // namespace
}  // namespace detail

std::unique_ptr<byte_source> prefetch(std::unique_ptr<byte_source> inner,
                                      interrupt_check interrupted) {
    if (!inner) return inner;
    std::unique_ptr<char[]> storage(new (std::nothrow)
                                        char[prefetch_slots * prefetch_slot_size]);
    if (!storage) return inner;
    std::unique_ptr<detail::prefetch_source> source(new (std::nothrow) detail::prefetch_source(
        std::move(inner), interrupted, std::move(storage)));
    if (!source) return inner;  // a failed allocation leaves the arguments unevaluated
    if (!source->start()) return source->release();
    return source;
}

}  // namespace lagstat::source
