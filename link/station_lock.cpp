#include "link/station_lock.h"

#include <pthread.h>

#include "base/runtime.h"

namespace mew {

std::uintptr_t StationLock::library_caller() {
    // Unique among the live threads of the process, and never 0.
    return static_cast<std::uintptr_t>(pthread_self());
}

bool StationLock::acquire_waiting(std::uintptr_t me, double seconds, bool interruptible) {
    std::unique_lock<std::mutex> lock(mutex_);
    // Counted before the lock is looked at again, on every way out, a
    // Ctrl-C that ends the wait included: a release that comes after that
    // look sees the waiter and wakes it under the mutex.
    struct Waiting {
        std::atomic<unsigned> &count;
        explicit Waiting(std::atomic<unsigned> &c) : count(c) { ++count; }
        ~Waiting() { --count; }
    } waiting(waiters_);
    if (!runtime::wait_seconds(
            released_, lock, seconds, [this, me] { return take_free(me); }, interruptible))
        return false;
    count_ = 1;
    return true;
}

void StationLock::not_held() {
    throw std::logic_error("cannot release un-acquired lock");
}

void StationLock::wake_waiter() {
    { std::lock_guard<std::mutex> lock(mutex_); }
    released_.notify_one();
}

bool StationLock::locked() const {
    return owner_.load() != 0;
}

bool StationLock::owned_by_caller() const {
    return owner_.load(std::memory_order_relaxed) == caller();
}

}  // namespace mew
