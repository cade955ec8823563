// The second thread of a slave-capable station (its slave worker), with the
// stop flag that the thread polls and the command queue it serves. The
// queue answers at once on the thread that routes a command when the
// station can (see AnsweringQueue); the worker serves the rest.
#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>

#include "base/runtime.h"
#include "link/listener.h"
#include "link/mew_base.h"
#include "link/mew_slave_base.h"
#include "station/answering_queue.h"

namespace mew {

class StationWorker {
public:
    using Make = std::function<std::unique_ptr<runtime::WorkerThread>()>;

    bool stopped() const { return stop_flag_.load(); }
    const std::atomic<bool> &stop_flag() const { return stop_flag_; }
    runtime::WorkerThread *thread() const { return thread_.get(); }

    // Registers the worker's command queue in `commands`, then creates the
    // thread with `make` and starts it, unless it runs already. The queue is
    // in place before this returns, so a command that arrives from then on
    // is served, however late the thread itself gets going. `answer` answers
    // a command on the routing thread, or declines (see AnsweringQueue).
    void start(ListenerList &commands, AnsweringQueue::Answer answer, const Make &make) {
        if (!stop_flag_.load()) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            answer_ = std::move(answer);
            pending_ = std::make_unique<AnsweringSubscription>(commands, answer_);
        }
        stop_flag_ = false;
        thread_ = make();
        thread_->start();
    }

    // The queue start() registered for the thread, taken once; a body run
    // any other way registers a queue of its own.
    std::unique_ptr<AnsweringSubscription> take_subscription(ListenerList &commands) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (pending_) return std::move(pending_);
        return std::make_unique<AnsweringSubscription>(commands, answer_);
    }

    // Sets the flag, lets `wake` cut short any wait of the thread, and waits
    // for it to end; nothing when it does not run.
    // In a forked child the thread is the parent's: nothing to wake or wait for.
    void stop(const std::function<void()> &wake = {}) {
        if (stop_flag_.load()) return;
        stop_flag_ = true;
        if (owner_.foreign()) return;
        if (wake) wake();
        if (thread_) thread_->join();
        std::unique_ptr<AnsweringSubscription> unused;  // the thread never came to take it
        std::lock_guard<std::mutex> lock(mutex_);
        unused.swap(pending_);
    }

private:
    runtime::ProcessOwner owner_;
    std::atomic<bool> stop_flag_{true};
    std::unique_ptr<runtime::WorkerThread> thread_;
    std::mutex mutex_;
    AnsweringQueue::Answer answer_ = [](const std::string &) { return false; };
    std::unique_ptr<AnsweringSubscription> pending_;
};

// Reports an error a worker caught, as the one line a background thread
// prints for what it drops.
void report_unhandled(std::exception_ptr error);

// Answers one command frame on a station: request processing, then the
// response through the station's sender. An error never leaves: it is
// reported and the frame is dropped, so the worker serves the next one.
void answer_command(MewBase &link, MewSlaveBase &slave, const std::string &frame);

// How a station with a worker answers on the thread that read the command:
// the library's own way while it serves and the station allows it (see
// AnsweringQueue); otherwise the command goes to the worker.
template <class Station>
AnsweringQueue::Answer answer_on_reader(Station &station, const StationWorker &worker) {
    return [&station, &worker](const std::string &frame) {
        if (worker.stopped() || !station.answers_on_reader()) return false;
        answer_command(station, station, frame);
        return true;
    };
}

}  // namespace mew
