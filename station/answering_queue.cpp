#include "station/answering_queue.h"

namespace mew {

AnsweringQueue::AnsweringQueue(StationLock &routing, Answer answer)
    : routing_(&routing), answer_(std::move(answer)) {}

void AnsweringQueue::put(const std::string &frame) {
    bool routed = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // The router holds the listener lock while it puts; and while it
        // does, detach() waits, so the station stays for the answer.
        routed = routing_ != nullptr && routing_->owned_by_caller();
    }
    if (routed && answer_(frame)) return;
    FrameQueue::put(frame);
}

void AnsweringQueue::detach() {
    StationLock *routing = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        routing = routing_;
    }
    if (!routing) return;
    // Whoever holds the listener lock may be answering through this queue
    // (put() found it attached): the station is let go of once it is done.
    // The listener lock first, as put() is called under it.
    StationLockGuard hold(*routing, true);
    std::lock_guard<std::mutex> lock(mutex_);
    routing_ = nullptr;
}

AnsweringSubscription::AnsweringSubscription(ListenerList &commands, AnsweringQueue::Answer answer)
    : queue_(std::make_shared<AnsweringQueue>(commands.lock(), std::move(answer))),
      subscription_(std::make_unique<Subscription>(commands, queue_)) {}

AnsweringSubscription::~AnsweringSubscription() {
    subscription_.reset();
    queue_->detach();
}

}  // namespace mew
