// The command queue of a slave-capable station, which answers a command at
// once on the thread that routes it when the station can.
//
// The receiver (or whichever thread reads the line) puts each command into
// the query listeners while it holds the station's listener lock. When the
// whole answer is the library's own code (request processing, handlers,
// send and channel: nothing a host program wrote), the router answers it
// itself once it has let go of that lock (after_routing), and no worker is
// woken: one thread per command, as in a plain responder. Everything else is queued for the station's worker
// as in any FrameQueue: a host's handler must not run under the routing lock, and may itself wait for the
// line that only the router reads. A frame put from elsewhere (a host that puts into the queue itself) is
// queued too.
//
// The listener and sender locks are never held together: the answer goes
// out after the routing.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "link/listener.h"
#include "link/station_lock.h"

namespace mew {

class AnsweringQueue : public FrameQueue {
public:
    // Answers `frame` on the calling thread and returns true, or returns
    // false to leave it to the worker. Never throws.
    using Answer = std::function<bool(const std::string &frame)>;

    AnsweringQueue(StationLock &routing, Answer answer);
    void put(const std::string &frame) override;
    void after_routing() override;
    // From now on every frame is queued, so that the station may go while a
    // host still holds this queue. Waits for an answer under way.
    void detach();

private:
    std::mutex mutex_;
    StationLock *routing_;  // the station's listener lock; none once detached
    // Commands the router put, to answer once it let go of the lock; only
    // the thread that holds the listener lock adds to it.
    std::vector<std::string> to_answer_;
    // Held while an answer is made, so that detach() waits for it.
    std::mutex answering_;
    const Answer answer_;
};

// An AnsweringQueue registered in the query listeners for as long as this
// lives; it leaves the list, then lets go of the station.
class AnsweringSubscription {
public:
    AnsweringSubscription(ListenerList &commands, AnsweringQueue::Answer answer);
    ~AnsweringSubscription();
    AnsweringSubscription(const AnsweringSubscription &) = delete;
    AnsweringSubscription &operator=(const AnsweringSubscription &) = delete;
    FrameQueue &queue() { return *queue_; }

private:
    std::shared_ptr<AnsweringQueue> queue_;
    std::unique_ptr<Subscription> subscription_;
};

}  // namespace mew
