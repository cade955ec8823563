#include "link/listener.h"

#include <algorithm>

#include "link/runtime.h"

namespace mew {

namespace {

struct Hold {
    explicit Hold(StationLock &l) : lock(l) { lock.lock(); }
    ~Hold() { lock.unlock(); }
    StationLock &lock;
};

}  // namespace

void FrameQueue::put(const std::string &frame) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        frames_.push_back(frame);
    }
    arrived_.notify_one();
}

std::optional<std::string> FrameQueue::get(double timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!runtime::wait_seconds(arrived_, lock, timeout, [this] { return !frames_.empty(); }))
        return std::nullopt;
    std::string frame = std::move(frames_.front());
    frames_.pop_front();
    return frame;
}

std::optional<std::string> FrameQueue::try_get() {
    return get(0);
}

std::size_t FrameQueue::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_.size();
}

void ListenerList::append(Item item) {
    Hold hold(lock_);
    items_.push_back(std::move(item));
}

ListenerList::Item ListenerList::remove(const Match &match) {
    Hold hold(lock_);
    auto it = std::find_if(items_.begin(), items_.end(), [&](const Item &i) { return match(*i); });
    if (it == items_.end()) return nullptr;
    Item found = std::move(*it);
    items_.erase(it);
    return found;
}

bool ListenerList::contains(const Match &match) const {
    Hold hold(lock_);
    return std::any_of(items_.begin(), items_.end(), [&](const Item &i) { return match(*i); });
}

std::vector<ListenerList::Item> ListenerList::snapshot() const {
    Hold hold(lock_);
    return items_;
}

std::size_t ListenerList::size() const {
    Hold hold(lock_);
    return items_.size();
}

}  // namespace mew
