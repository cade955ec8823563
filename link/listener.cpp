#include "link/listener.h"

#include <algorithm>

#include "base/runtime.h"

namespace mew {

namespace {

// The listener lock is only ever held for a moment, and a queue leaves its
// list from a destructor: these holds are never interrupted.
struct Hold : StationLockGuard {
    explicit Hold(StationLock &lock) : StationLockGuard(lock, true) {}
};

}  // namespace

void FrameQueue::put(const std::string &frame) {
    bool awaited;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        frames_.push_back(frame);
        used_.store(true, std::memory_order_relaxed);
        note_pending();
        awaited = waiting_ > 0;
    }
    // A master that reads its own answer is not waiting for it here.
    if (awaited) arrived_.notify_one();
}

std::optional<std::string> FrameQueue::get(double timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto ready = [this] { return !frames_.empty() || closed_ || lost_wakes_; };
    if (!ready()) {
        // Counted under the lock on every way out, Ctrl-C included.
        struct Waiting {
            std::unique_lock<std::mutex> &lock;
            unsigned &count;
            Waiting(std::unique_lock<std::mutex> &l, unsigned &c) : lock(l), count(c) { ++count; }
            ~Waiting() {
                if (!lock.owns_lock()) lock.lock();
                --count;
            }
        } waiting(lock, waiting_);
        if (!runtime::wait_seconds(arrived_, lock, timeout, ready)) return std::nullopt;
    }
    if (frames_.empty()) {
        lost_wakes_ = false;
        note_pending();
        return std::nullopt;
    }
    std::string frame = std::move(frames_.front());
    frames_.pop_front();
    note_pending();
    return frame;
}

std::optional<std::string> FrameQueue::try_get() {
    return get(0);
}

bool FrameQueue::ready() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !frames_.empty() || closed_ || lost_wakes_;
}

std::size_t FrameQueue::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_.size();
}

void FrameQueue::close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        used_.store(true, std::memory_order_relaxed);
        note_pending();
    }
    arrived_.notify_all();
}

bool FrameQueue::closed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
}

void FrameQueue::connection_lost(const std::string &message, std::uint64_t connection) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lost_ = message;
        lost_connection_ = connection;
        lost_wakes_ = true;
        used_.store(true, std::memory_order_relaxed);
        note_pending();
    }
    arrived_.notify_all();
}

std::optional<std::string> FrameQueue::lost() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lost_;
}

std::uint64_t FrameQueue::lost_connection() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lost_connection_;
}

void FrameQueue::clear_lost() {
    std::lock_guard<std::mutex> lock(mutex_);
    lost_.reset();
    lost_wakes_ = false;
    note_pending();
}

bool FrameQueue::reset() {
    // Paired with the release of note_pending(), which follows every store
    // of the flag.
    if (!pending_.load(std::memory_order_acquire) && !used_.load(std::memory_order_relaxed)) return true;
    std::lock_guard<std::mutex> lock(mutex_);
    used_.store(false, std::memory_order_relaxed);
    frames_.clear();
    lost_.reset();
    lost_connection_ = 0;
    lost_wakes_ = false;
    note_pending();
    return !closed_;
}

bool FrameQueue::take(std::optional<std::string> &frame) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!frames_.empty()) {
        frame = std::move(frames_.front());
        frames_.pop_front();
        note_pending();
        return true;
    }
    if (lost_wakes_) {
        lost_wakes_ = false;
        note_pending();
        return true;
    }
    return closed_;
}

Subscription::Subscription(ListenerList &list) : Subscription(list, std::make_shared<FrameQueue>()) {}

Subscription::Subscription(ListenerList &list, std::shared_ptr<FrameQueue> queue)
    : list_(list), queue_(std::move(queue)) {
    list_.append(queue_);
}

Subscription::~Subscription() {
    list_.remove_item(queue_.get());
}

void ListenerList::append(Item item) {
    Hold hold(lock_);
    items_.push_back(std::move(item));
    count_ = items_.size();
}

ListenerList::Item ListenerList::remove(const Match &match) {
    Hold hold(lock_);
    auto it = std::find_if(items_.begin(), items_.end(), [&](const Item &i) { return match(*i); });
    if (it == items_.end()) return nullptr;
    Item found = std::move(*it);
    items_.erase(it);
    count_ = items_.size();
    return found;
}

void ListenerList::remove_item(const Listener *item) {
    Item found;  // let go after the lock, as replace() does
    Hold hold(lock_);
    auto it = std::find_if(items_.begin(), items_.end(), [&](const Item &i) { return i.get() == item; });
    if (it == items_.end()) return;
    found = std::move(*it);
    items_.erase(it);
    count_ = items_.size();
}

bool ListenerList::contains(const Match &match) const {
    Hold hold(lock_);
    return std::any_of(items_.begin(), items_.end(), [&](const Item &i) { return match(*i); });
}

std::vector<ListenerList::Item> ListenerList::snapshot() const {
    Hold hold(lock_);
    return items_;
}

void ListenerList::replace(std::vector<Item> items) {
    std::vector<Item> old;
    {
        Hold hold(lock_);
        old.swap(items_);
        items_ = std::move(items);
        count_ = items_.size();
    }
    // The old entries go after the lock: a Python listener's last reference
    // may need the interpreter to let go of it.
}

std::size_t ListenerList::size() const {
    Hold hold(lock_);
    return items_.size();
}

}  // namespace mew
