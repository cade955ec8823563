#include "station/answering_queue.h"

namespace mew {

AnsweringQueue::AnsweringQueue(StationLock &routing, Answer answer)
    : routing_(&routing), answer_(std::move(answer)) {}

void AnsweringQueue::put(const std::string &frame) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // The router holds the listener lock while it puts, and calls
        // after_routing() once it let go of it.
        if (routing_ != nullptr && routing_->owned_by_caller()) {
            to_answer_.push_back(frame);
            return;
        }
    }
    FrameQueue::put(frame);
}

void AnsweringQueue::after_routing() {
    std::vector<std::string> frames;
    std::lock_guard<std::mutex> answering(answering_);
    bool attached;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        frames.swap(to_answer_);
        attached = routing_ != nullptr;
    }
    // Once detached, the station may be gone: what is left goes where any
    // frame goes then.
    for (const std::string &frame : frames)
        if (!attached || !answer_(frame)) FrameQueue::put(frame);
}

void AnsweringQueue::detach() {
    StationLock *routing = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        routing = routing_;
    }
    if (!routing) return;
    // No command is kept for an answer from now on (put() is called under
    // the listener lock); then the answer under way, if any, ends before the
    // station is let go of. Not both at once: an answer may subscribe to
    // the listeners for a transfer in frames.
    {
        StationLockGuard hold(*routing, true);
        std::lock_guard<std::mutex> lock(mutex_);
        routing_ = nullptr;
    }
    std::lock_guard<std::mutex> answering(answering_);
}

AnsweringSubscription::AnsweringSubscription(ListenerList &commands, AnsweringQueue::Answer answer)
    : queue_(std::make_shared<AnsweringQueue>(commands.lock(), std::move(answer))),
      subscription_(std::make_unique<Subscription>(commands, queue_)) {}

AnsweringSubscription::~AnsweringSubscription() {
    subscription_.reset();
    queue_->detach();
}

}  // namespace mew
