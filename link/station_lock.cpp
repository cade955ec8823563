#include "link/station_lock.h"

#include "base/runtime.h"

namespace mew {

bool StationLock::acquire(double seconds, bool interruptible) {
    const auto me = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(mutex_);
    if (count_ && owner_ == me) {
        ++count_;
        return true;
    }
    // Counted on every way out, a Ctrl-C that ends the wait included: a
    // release wakes a waiter only when there is one.
    struct Waiting {
        std::atomic<unsigned> &count;
        explicit Waiting(std::atomic<unsigned> &c) : count(c) { ++count; }
        ~Waiting() { --count; }
    } waiting(waiters_);
    if (!runtime::wait_seconds(
            released_, lock, seconds, [this] { return count_ == 0; }, interruptible))
        return false;
    owner_ = me;
    count_ = 1;
    return true;
}

void StationLock::unlock() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!count_ || owner_ != std::this_thread::get_id())
        throw std::logic_error("cannot release un-acquired lock");
    if (--count_ == 0) {
        owner_ = std::thread::id();
        if (waiters_) released_.notify_one();
    }
}

bool StationLock::locked() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_ != 0;
}

bool StationLock::owned_by_caller() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_ != 0 && owner_ == std::this_thread::get_id();
}

}  // namespace mew
