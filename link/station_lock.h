// The locks of a station. Re-entrant, so that code which already holds a
// lock (a subclass extending a method under its own `with` block) can call
// the base method that takes it again; released only by its owner.
//
// Every query takes several of them, nearly always free: a lock that is free
// is taken and let go with one atomic operation each, and only a thread
// that must wait touches the mutex.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stdexcept>

namespace mew {

class StationLock {
public:
    // Waits without limit; the host may interrupt the wait (Ctrl-C), which
    // then throws with the lock not taken.
    void lock() { try_lock_for(-1); }
    // For holds that are over in a moment and for destructors: never
    // interrupted.
    void lock_quietly() { acquire(-1, false); }
    // Waits at most `seconds` (negative: without limit); true when acquired.
    bool try_lock_for(double seconds) { return acquire(seconds, true); }
    // std::logic_error when the calling thread does not hold the lock.
    void unlock();
    bool locked() const;
    bool owned_by_caller() const;

private:
    // A token of the calling thread, never 0.
    static std::uintptr_t caller();
    bool acquire(double seconds, bool interruptible);
    bool acquire_waiting(std::uintptr_t me, double seconds, bool interruptible);
    bool take_free(std::uintptr_t me);

    std::atomic<std::uintptr_t> owner_{0};  // 0: free
    unsigned count_ = 0;                    // the owner's alone
    std::atomic<unsigned> waiters_{0};
    std::mutex mutex_;  // for waiters only
    std::condition_variable released_;
};

// Holds a StationLock for a scope. `quietly`: never interrupted, for holds
// that are over in a moment and for destructors.
class StationLockGuard {
public:
    explicit StationLockGuard(StationLock &lock, bool quietly = false) : lock_(lock) {
        if (quietly)
            lock_.lock_quietly();
        else
            lock_.lock();
    }
    ~StationLockGuard() { lock_.unlock(); }
    StationLockGuard(const StationLockGuard &) = delete;
    StationLockGuard &operator=(const StationLockGuard &) = delete;

private:
    StationLock &lock_;
};

}  // namespace mew
