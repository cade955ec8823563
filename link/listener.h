// Listeners: where the receiver thread puts the frames it routes.
#pragma once

#include <condition_variable>
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
};

// An unbounded first-in-first-out queue of frames.
class FrameQueue : public Listener {
public:
    void put(const std::string &frame) override;
    // The oldest frame, waiting at most `timeout` seconds (negative: without
    // limit); nothing when none came.
    std::optional<std::string> get(double timeout);
    std::optional<std::string> try_get();
    std::size_t size() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<std::string> frames_;
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
    bool contains(const Match &match) const;
    std::vector<Item> snapshot() const;
    std::size_t size() const;
    StationLock &lock() const { return lock_; }

private:
    StationLock &lock_;
    std::vector<Item> items_;
};

}  // namespace mew
