// Listeners: where the receiver thread puts the frames it routes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "link/station_lock.h"

namespace mew {

class Listener {
public:
    virtual ~Listener() = default;
    // Never blocks for long: the receiver calls it while routing a frame.
    virtual void put(const std::string &frame) = 0;
    // Called by the thread that routed a frame to this listener once it has
    // let go of the listener lock: work that must not run under it (a send:
    // the listener and sender locks are never held together). Never throws;
    // does nothing unless overridden.
    virtual void after_routing() {}
    // The station is closing: wake whoever waits on this listener.
    virtual void close() {}
    // The channel lost its connection (`connection`: its number, 0 when
    // not known): a response awaited on it will not come. Never blocks for
    // long; does nothing unless overridden.
    virtual void connection_lost(const std::string &message, std::uint64_t connection) {
        (void)message;
        (void)connection;
    }
};

// An unbounded first-in-first-out queue of frames.
class FrameQueue : public Listener {
public:
    void put(const std::string &frame) override;
    // The oldest frame, waiting at most `timeout` seconds (negative: without
    // limit); nothing when none came.
    std::optional<std::string> get(double timeout);
    std::optional<std::string> try_get();
    // Whether get() would return at once: a frame, a close or a loss.
    bool ready() const;
    // The same without the lock: a glance that may be out of date by the
    // time it is used, for a thread that takes what comes in itself.
    bool pending() const { return pending_.load(std::memory_order_acquire); }
    std::size_t size() const;
    // Ends every wait at once, now and later; frames already queued can
    // still be taken.
    void close() override;
    bool closed() const;
    // Records the loss and ends the waits of get() that are under way or
    // come next with nothing (once: a later get() waits again); frames
    // already queued are still taken first.
    void connection_lost(const std::string &message, std::uint64_t connection) override;
    // The message of the last loss recorded since clear_lost(); nothing
    // when none was.
    std::optional<std::string> lost() const;
    // The number of the connection of that loss (0: not known).
    std::uint64_t lost_connection() const;
    void clear_lost();
    // Empty again and without a loss, for its next use; false for a closed
    // queue, which stays closed.
    bool reset();
    // What get(0) returns into `frame`; true when get(0) would have
    // returned at once (a frame, a close or a loss).
    bool take(std::optional<std::string> &frame);

private:
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<std::string> frames_;
    bool closed_ = false;
    std::optional<std::string> lost_;
    std::uint64_t lost_connection_ = 0;
    bool lost_wakes_ = false;           // a loss no get() has ended with yet
    unsigned waiting_ = 0;              // get() calls waiting now
    std::atomic<bool> pending_{false};  // what ready() says, kept under the mutex
    // Whether anything reached it since its last reset(), kept under the
    // mutex: the reset of a queue that is empty already (every query's, on
    // the master's steady path) takes no lock.
    std::atomic<bool> used_{false};

    void note_pending() {
        pending_.store(!frames_.empty() || closed_ || lost_wakes_, std::memory_order_release);
    }
};

// One of a station's two listener lists. Every operation holds the station's
// listener lock, so the receiver never sees the list half changed.
class ListenerList {
public:
    explicit ListenerList(StationLock &lock) : lock_(lock) {}
    using Item = std::shared_ptr<Listener>;
    using Match = std::function<bool(const Listener &)>;

    void append(Item item);
    // Takes out the first listener that matches; empty when none does.
    Item remove(const Match &match);
    // Takes out `item`, if it is there.
    void remove_item(const Listener *item);
    bool contains(const Match &match) const;
    std::vector<Item> snapshot() const;
    // Puts `items` in place of the whole list at once.
    void replace(std::vector<Item> items);
    std::size_t size() const;
    // The same without the lock: a glance that may be out of date by the
    // time it is used.
    std::size_t glance_size() const { return count_.load(std::memory_order_relaxed); }
    // Copies the list into `out` (whose room is kept from one call to the
    // next); the caller holds the lock.
    void copy_held_to(std::vector<Item> &out) const { out.assign(items_.begin(), items_.end()); }
    // Whether `item` is the one listener of the list; the caller holds the lock.
    bool holds_only(const Listener *item) const { return items_.size() == 1 && items_.front().get() == item; }
    StationLock &lock() const { return lock_; }

private:
    StationLock &lock_;
    std::vector<Item> items_;
    std::atomic<std::size_t> count_{0};
};

// A queue registered in a listener list for as long as this lives, so that
// no frame is ever put into a queue nobody reads: on every way out of a
// query or a worker, the queue leaves the list.
class Subscription {
public:
    explicit Subscription(ListenerList &list);
    // With a queue its owner keeps from one subscription to the next.
    Subscription(ListenerList &list, std::shared_ptr<FrameQueue> queue);
    ~Subscription();
    Subscription(const Subscription &) = delete;
    Subscription &operator=(const Subscription &) = delete;
    FrameQueue &queue() { return *queue_; }

private:
    ListenerList &list_;
    std::shared_ptr<FrameQueue> queue_;
};

}  // namespace mew
