// The second thread of a slave-capable station (its slave worker), with the
// stop flag that the thread polls.
#pragma once

#include <atomic>
#include <functional>
#include <memory>

#include "link/runtime.h"

namespace mew {

class StationWorker {
public:
    using Make = std::function<std::unique_ptr<runtime::WorkerThread>()>;

    bool stopped() const { return stop_flag_.load(); }
    const std::atomic<bool> &stop_flag() const { return stop_flag_; }
    runtime::WorkerThread *thread() const { return thread_.get(); }

    // Creates the thread with `make` and starts it, unless it runs already.
    void start(const Make &make) {
        if (!stop_flag_.load()) return;
        stop_flag_ = false;
        thread_ = make();
        thread_->start();
    }

    // Sets the flag, lets `wake` cut short any wait of the thread, and waits
    // for it to end; nothing when it does not run.
    void stop(const std::function<void()> &wake = {}) {
        if (stop_flag_.load()) return;
        stop_flag_ = true;
        if (wake) wake();
        if (thread_) thread_->join();
    }

private:
    std::atomic<bool> stop_flag_{true};
    std::unique_ptr<runtime::WorkerThread> thread_;
};

}  // namespace mew
