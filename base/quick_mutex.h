// A mutex for short holds that are nearly always free, such as the byte
// paths of a port, taken on every frame: a free lock is taken with one
// compare-and-swap and let go with one exchange, where a std::mutex costs two
// calls into the thread library. Only a thread that must wait touches the
// std::mutex and condition variable behind it. Not re-entrant; usable with
// std::lock_guard and std::unique_lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace mew {

class QuickMutex {
public:
    void lock() {
        if (!try_lock()) lock_waiting();
    }
    bool try_lock() {
        bool free = false;
        return held_.compare_exchange_strong(free, true, std::memory_order_acquire,
                                             std::memory_order_relaxed);
    }
    void unlock() {
        // The release and the look at the waiters are ordered against a
        // waiter's count and its try (both sequentially consistent): either
        // this look sees the waiter, or the waiter's try sees the lock free.
        held_.store(false, std::memory_order_seq_cst);
        if (waiters_.load(std::memory_order_seq_cst) != 0) wake_one();
    }

private:
    std::atomic<bool> held_{false};
    std::atomic<unsigned> waiters_{0};
    std::mutex mutex_;  // for waiters only
    std::condition_variable released_;

    // Out of line, so that the free path stays small where it is inlined.
    void lock_waiting();
    void wake_one();
};

}  // namespace mew
