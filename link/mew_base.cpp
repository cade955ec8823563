#include "link/mew_base.h"

#include <chrono>

#include "base/errors.h"
#include "codec/long_frames.h"
#include "codec/mew_static.h"

namespace mew {

namespace {

// Tells every feedback listener that the channel lost its connection, so
// that a query waiting for its response ends now. Never throws.
void report_lost(ListenerList &listeners, const ConnectionLost &lost) {
    const std::string message = lost.what();
    try {
        runtime::print_line("MewBase: " + message);
        StationLockGuard hold(listeners.lock(), true);
        for (auto &listener : listeners.snapshot()) listener->connection_lost(message, lost.connection);
    } catch (...) {
        runtime::print_line("MewBase: Ignore unhandled exception while reporting: " + message);
    }
}

}  // namespace

MewBase::MewBase(std::shared_ptr<Channel> channel)
    : channel_(std::move(channel)), connections_(channel_->connections()) {}

MewBase::~MewBase() {
    // Only a station whose threads have ended can be destroyed from Python;
    // a plain C++ owner may drop a running one, so end its thread here.
    try {
        MewBase::stop();
    } catch (...) {
    }
}

std::unique_ptr<runtime::WorkerThread> MewBase::spawn(const char *, std::function<void()> body) {
    return runtime::make_std_thread(std::move(body));
}

void MewBase::check_process() const {
    if (owner_.foreign())
        throw IOError("MewBase: station belongs to the process that made it; open a new one after fork()");
}

void MewBase::start() {
    check_process();
    if (!stop_flag_.load()) return;
    stop_flag_ = false;
    receiver_thread_ = spawn("_receiver", [this] { receiver_loop(); });
    channel_->flush_input();
    receiver_thread_->start();
}

void MewBase::stop() {
    if (stop_flag_.load()) return;
    stop_flag_ = true;
    // In a forked child the threads are not there to wait for, and the
    // pause lock may have been held by one of them at the fork.
    if (owner_.foreign()) return;
    wake_pauses();
    // The receiver leaves its read now rather than at the read's time-out.
    channel_->wake_reader();
    if (receiver_thread_) receiver_thread_->join();
}

void MewBase::close() {
    // A child's copy of the station lets go of nothing: the channel, its
    // wake-up pipe and the locks are shared with the parent, which goes on.
    if (owner_.foreign()) {
        stop_flag_ = true;
        return;
    }
    // A query waiting for its response ends now, instead of at its time-out.
    for (auto &listener : feedback_listeners_.snapshot()) listener->close();
    stop();
    channel_->close();
}

void MewBase::send(std::string_view data) {
    check_process();
    StationLockGuard hold(sender_lock_);
    runtime::trace(runtime::TraceEvent::kSent, this, data);
    channel_->send_frame(data);
}

void MewBase::pause(double seconds, const std::atomic<bool> &flag) {
    std::unique_lock<std::mutex> lock(pause_mutex_);
    runtime::wait_seconds(pause_cv_, lock, seconds, [&] { return flag.load(); });
}

void MewBase::wake_pauses() {
    { std::lock_guard<std::mutex> lock(pause_mutex_); }
    pause_cv_.notify_all();
}

void MewBase::abandon_input(std::uint64_t connection) {
    StationLockGuard hold(listener_lock_, true);
    abandoned_ = std::max(abandoned_, connection);
}

void MewBase::route(const std::string &line, std::uint64_t from) {
    if (from != 0 && from <= abandoned_) {
        runtime::trace(runtime::TraceEvent::kWarning, this,
                       "MewBase: Drop frame of an abandoned connection: ", line);
        return;
    }
    if (serves_continuations_.load() && frames::is_continuation_request(line)) {
        for (auto &listener : query_listeners_.snapshot()) listener->put(line);
        return;
    }
    std::string_view type = MewStatic::frame_type(line);
    const bool typed = type.size() == 1 && (type[0] == MewStatic::FEEDBACK || type[0] == MewStatic::ERROR ||
                                            type[0] == MewStatic::QUERY);
    const bool response = type.size() == 1 && (type[0] == MewStatic::FEEDBACK || type[0] == MewStatic::ERROR);
    if (response || (!typed && continuations_awaited_.load() > 0)) {
        if (line_watchers_.load(std::memory_order_relaxed) > 0)
            last_response_.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
        for (auto &listener : feedback_listeners_.snapshot()) listener->put(line);
        return;
    }
    if (typed) {
        auto listeners = query_listeners_.snapshot();
        if (listeners.empty()) runtime::print_line("MewBase: No query listener. Drop frame.");
        if (listeners.empty())
            runtime::trace(runtime::TraceEvent::kWarning, this, "MewBase: No query listener. Drop frame.");
        for (auto &listener : listeners) listener->put(line);
    } else {
        runtime::print_line("MewBase: Unknown frame type: " + std::string(type));
        runtime::trace(runtime::TraceEvent::kWarning, this, "MewBase: Unknown frame type: ", type);
    }
}

void MewBase::receiver_loop() {
    // Nothing may leave this function: an exception ending a thread ends the
    // whole process.
    try {
        while (!stop_flag_.load()) {
            // The channel sets the flag once the frame's first byte is taken,
            // before it reads the rest: a master waiting for a quiet line
            // sees a frame coming in. It falls again once the frame is routed
            // or lost, on every way out of this turn. What fails before the
            // flag is set is the channel's end, what fails after it one
            // frame's.
            struct InFrame {
                std::atomic<bool> &flag;
                ~InFrame() { flag.store(false, std::memory_order_relaxed); }
            } in_frame{in_frame_};
            try {
                std::string line = channel_->read_frame(in_frame_);
                if (line.empty()) continue;
                const std::uint64_t from = connections_ ? connections_->last_read() : 0;
                runtime::trace(runtime::TraceEvent::kReceived, this, line);
                // Noise in front of a header (a NUL, an LF after a glitch)
                // would spoil the frame behind it: a glitch costs no more
                // than the bytes it made.
                std::size_t head = line.find(MewStatic::HEAD);
                if (head != std::string::npos && head > 0) line.erase(0, head);
                StationLockGuard hold(listener_lock_);
                route(line, from);
            } catch (const ConnectionLost &e) {
                // The channel connects again at the next send; a response
                // awaited on the lost connection will not come.
                report_lost(feedback_listeners_, e);
                runtime::trace(runtime::TraceEvent::kWarning, this, "MewBase: ", e.what());
            } catch (...) {
                if (!in_frame_.load(std::memory_order_relaxed)) {
                    // A stop closes the channel under the read at times.
                    if (stop_flag_.load()) return;
                    runtime::ErrorInfo info = runtime::describe(std::current_exception());
                    runtime::print_line("MewBase: Receiver thread ended by " + info.type_name + ": " +
                                        info.message);
                    if (runtime::tracing(runtime::kTraceWarnings))
                        runtime::trace(runtime::TraceEvent::kWarning, this,
                                       "MewBase: Receiver thread ended by " + info.type_name + ": ",
                                       info.message);
                    return;
                }
                runtime::ErrorInfo info = runtime::describe(std::current_exception());
                // A frame cut short by the stop itself is nothing to report.
                if (stop_flag_.load() && !info.interrupt) return;
                if (info.io_error) {
                    runtime::print_line("IOError from MewFullDuplex: " + info.message);
                    runtime::trace(runtime::TraceEvent::kWarning, this,
                                   "IOError from MewFullDuplex: ", info.message);
                    pause(0.1, stop_flag_);
                } else {
                    runtime::print_line("Ignore unhandled exception: " + info.message);
                    runtime::trace(runtime::TraceEvent::kWarning, this,
                                   "Ignore unhandled exception: ", info.message);
                }
            }
        }
    } catch (...) {
        runtime::print_line("MewBase: Receiver thread ended by an unexpected error");
        runtime::trace(runtime::TraceEvent::kWarning, this,
                       "MewBase: Receiver thread ended by an unexpected error");
    }
}

}  // namespace mew
