#include "base/quick_mutex.h"

namespace mew {

void QuickMutex::lock_waiting() {
    std::unique_lock<std::mutex> lock(mutex_);
    waiters_.fetch_add(1, std::memory_order_seq_cst);
    released_.wait(lock, [this] {
        bool free = false;
        return held_.compare_exchange_strong(free, true, std::memory_order_seq_cst);
    });
    waiters_.fetch_sub(1, std::memory_order_relaxed);
}

void QuickMutex::wake_one() {
    // Under the mutex, so that a waiter between its try and its wait cannot
    // miss the wake.
    { std::lock_guard<std::mutex> lock(mutex_); }
    released_.notify_one();
}

}  // namespace mew
