#include "link/station_lock.h"

#include <chrono>

namespace mew {

bool StationLock::try_lock_for(double seconds) {
    const auto me = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(mutex_);
    if (count_ && owner_ == me) {
        ++count_;
        return true;
    }
    auto free = [this] { return count_ == 0; };
    if (seconds < 0) {
        released_.wait(lock, free);
    } else if (!released_.wait_for(lock, std::chrono::duration<double>(seconds), free)) {
        return false;
    }
    owner_ = me;
    count_ = 1;
    return true;
}

void StationLock::unlock() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!count_ || owner_ != std::this_thread::get_id()) throw std::logic_error("cannot release un-acquired lock");
    if (--count_ == 0) {
        owner_ = std::thread::id();
        released_.notify_one();
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
