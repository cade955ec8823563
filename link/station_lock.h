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
    void unlock() {
        // The count is read only once the caller is known to own the lock.
        if (owner_.load(std::memory_order_relaxed) != caller() || count_ == 0) not_held();
        if (--count_ != 0) return;
        owner_.store(0);
        if (waiters_.load() != 0) wake_waiter();
    }
    bool locked() const;
    bool owned_by_caller() const;

private:
    // A token of the calling thread, never 0: the thread's own pointer
    // where the compiler reads it in one instruction, as the thread library
    // itself does.
    static std::uintptr_t caller() {
#if defined(__has_builtin) && (defined(__x86_64__) || defined(__aarch64__))
#if __has_builtin(__builtin_thread_pointer)
        return reinterpret_cast<std::uintptr_t>(__builtin_thread_pointer());
#else
        return library_caller();
#endif
#else
        return library_caller();
#endif
    }
    static std::uintptr_t library_caller();
    bool acquire(double seconds, bool interruptible) {
        const std::uintptr_t me = caller();
        // Only the owner itself can see its own token here.
        if (owner_.load(std::memory_order_relaxed) == me) {
            ++count_;
            return true;
        }
        if (take_free(me)) {
            count_ = 1;
            return true;
        }
        return acquire_waiting(me, seconds, interruptible);
    }
    bool acquire_waiting(std::uintptr_t me, double seconds, bool interruptible);
    bool take_free(std::uintptr_t me) {
        std::uintptr_t free = 0;
        return owner_.compare_exchange_strong(free, me);
    }
    [[noreturn]] static void not_held();
    void wake_waiter();

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
