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
    { std::lock_guard<std::mutex> lock(turn_mutex_); }
    turn_cv_.notify_all();
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

void MewBase::route(std::string &line, std::uint64_t from, std::vector<ListenerList::Item> &routing,
                    Handover *handover) {
    if (from != 0 && from <= abandoned_) {
        runtime::trace(runtime::TraceEvent::kWarning, this,
                       "MewBase: Drop frame of an abandoned connection: ", line);
        return;
    }
    if (serves_continuations_.load() && frames::is_continuation_request(line)) {
        query_listeners_.copy_held_to(routing);
        for (auto &listener : routing) listener->put(line);
        return;
    }
    std::string_view type = MewStatic::frame_type(line);
    const bool typed = type.size() == 1 && (type[0] == MewStatic::FEEDBACK || type[0] == MewStatic::ERROR ||
                                            type[0] == MewStatic::QUERY);
    const bool response = type.size() == 1 && (type[0] == MewStatic::FEEDBACK || type[0] == MewStatic::ERROR);
    if (response || (!typed && continuations_awaited_.load() > 0)) {
        if (line_watchers_.load(std::memory_order_relaxed) > 0)
            last_response_.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
        const Listener *handed = handover && !handover->to->pending() ? handover->to : nullptr;
        // A master's query alone in the list, reading its own answer: the
        // frame is its, with nothing to finish after the lock.
        if (handed && feedback_listeners_.holds_only(handed)) {
            handover->frame = std::move(line);
            aside_after_response_.store(true, std::memory_order_relaxed);
            return;
        }
        feedback_listeners_.copy_held_to(routing);
        for (auto &listener : routing) {
            if (listener.get() == handed)
                handover->frame = line;
            else
                listener->put(line);
        }
        // A master that got a response is likely to ask again at once.
        if (!routing.empty()) aside_after_response_.store(true, std::memory_order_relaxed);
        return;
    }
    if (typed) {
        query_listeners_.copy_held_to(routing);
        if (routing.empty()) runtime::print_line("MewBase: No query listener. Drop frame.");
        if (routing.empty())
            runtime::trace(runtime::TraceEvent::kWarning, this, "MewBase: No query listener. Drop frame.");
        for (auto &listener : routing) listener->put(line);
    } else {
        runtime::print_line("MewBase: Unknown frame type: " + std::string(type));
        runtime::trace(runtime::TraceEvent::kWarning, this, "MewBase: Unknown frame type: ", type);
    }
}

bool MewBase::may_read_own() const {
    return !stop_flag_.load() && channel_->reads_within() && query_listeners_.glance_size() == 0 &&
           !serves_continuations_.load() && line_watchers_.load(std::memory_order_relaxed) == 0;
}

MewBase::Clock::time_point MewBase::aside_from_now() const {
    return Clock::now() +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(read_aside_.load()));
}

MewBase::ReadTurn MewBase::take_read_turn() {
    // Asked here, in the querying thread: the receiver calls nothing
    // virtual of its station, which may be in the middle of its destructor.
    const bool may = !receiver_replaced() && may_read_own();
    queries_read_own_.store(may, std::memory_order_relaxed);
    if (!may) return ReadTurn::kReceiverKeeps;
    unsigned turn = turn_.load(std::memory_order_relaxed);
    do {
        // A receiver in the middle of a read keeps it: the answer it may be
        // reading reaches the query through its queue, as ever.
        if (turn & kReceiverReads) return ReadTurn::kReceiverReading;
    } while (!turn_.compare_exchange_weak(turn, turn | kQueryReads, std::memory_order_acq_rel,
                                          std::memory_order_relaxed));
    return ReadTurn::kTaken;
}

void MewBase::give_read_turn(bool answered) {
    if (answered) {
        // The receiver looks again on its own a moment later.
        aside_until_.store(aside_from_now().time_since_epoch().count(), std::memory_order_relaxed);
        turn_.fetch_and(~kQueryReads, std::memory_order_release);
        return;
    }
    // After a query that failed, whatever comes next is the receiver's at
    // once: told under its mutex, so that it cannot be deciding to step
    // aside meanwhile.
    {
        std::lock_guard<std::mutex> lock(turn_mutex_);
        aside_until_.store(0, std::memory_order_relaxed);
        turn_.fetch_and(~kQueryReads, std::memory_order_release);
    }
    turn_cv_.notify_all();
}

bool MewBase::receiver_turn() {
    std::unique_lock<std::mutex> lock(turn_mutex_);
    if (aside_after_response_.exchange(false, std::memory_order_relaxed) &&
        queries_read_own_.load(std::memory_order_relaxed) && may_read_own()) {
        // A query that answers meanwhile sets a moment of its own, as long.
        const Clock::rep until = aside_from_now().time_since_epoch().count();
        if (aside_until_.load(std::memory_order_relaxed) < until)
            aside_until_.store(until, std::memory_order_relaxed);
    }
    for (;;) {
        if (stop_flag_.load()) return false;
        const Clock::time_point now = Clock::now();
        // The turn first: a query gives it back after it set the moment.
        unsigned turn = turn_.load(std::memory_order_acquire);
        const Clock::time_point aside{Clock::duration(aside_until_.load(std::memory_order_relaxed))};
        if (!(turn & kQueryReads) && now >= aside) {
            // A query may take the turn between the look and the claim:
            // then look again.
            if (turn_.compare_exchange_strong(turn, turn | kReceiverReads, std::memory_order_acq_rel)) break;
            continue;
        }
        // A turn given back after an answer is not announced: the receiver
        // looks again once the moment has passed.
        turn_cv_.wait_until(
            lock, (turn & kQueryReads) ? std::max(aside, now + std::chrono::milliseconds(50)) : aside);
    }
    return true;
}

MewBase::ReadEnd MewBase::read_and_route(double timeout, bool own, Handover *handover) {
    // The channel sets the flag once the frame's first byte is taken,
    // before it reads the rest: a master waiting for a quiet line sees a
    // frame coming in. It falls again once the frame is routed or lost, on
    // every way out of this read. What fails before the flag is set is the
    // channel's end, what fails after it one frame's.
    struct InFrame {
        std::atomic<bool> &flag;
        ~InFrame() { flag.store(false, std::memory_order_relaxed); }
    } in_frame{in_frame_};
    try {
        std::string line =
            own ? channel_->read_frame_within(in_frame_, timeout) : channel_->read_frame(in_frame_);
        if (line.empty()) return ReadEnd::kNothing;
        const std::uint64_t from = connections_ ? connections_->last_read() : 0;
        runtime::trace(runtime::TraceEvent::kReceived, this, line);
        // Noise in front of a header (a NUL, an LF after a glitch) would
        // spoil the frame behind it: a glitch costs no more than the bytes
        // it made.
        if (line[0] != MewStatic::HEAD) {
            std::size_t head = line.find(MewStatic::HEAD);
            if (head != std::string::npos) line.erase(0, head);
        }
        // The listeners the frame went to finish their part once the lock is
        // let go.
        std::vector<ListenerList::Item> &delivered = own ? own_routing_ : receiver_routing_;
        struct Finish {
            std::vector<ListenerList::Item> &listeners;
            ~Finish() {
                for (auto &listener : listeners) listener->after_routing();
                listeners.clear();
            }
        } finish{delivered};
        {
            StationLockGuard hold(listener_lock_);
            route(line, from, delivered, handover);
        }
        return ReadEnd::kFrame;
    } catch (const ConnectionLost &e) {
        // The channel connects again at the next send; a response awaited
        // on the lost connection will not come.
        report_lost(feedback_listeners_, e);
        runtime::trace(runtime::TraceEvent::kWarning, this, "MewBase: ", e.what());
        return ReadEnd::kFrameLost;
    } catch (...) {
        runtime::ErrorInfo info = runtime::describe(std::current_exception());
        if (own && info.interrupt) throw;
        if (!in_frame_.load(std::memory_order_relaxed)) {
            // A stop closes the channel under the read at times.
            if (own || stop_flag_.load()) return ReadEnd::kChannelEnded;
            runtime::print_line("MewBase: Receiver thread ended by " + info.type_name + ": " + info.message);
            if (runtime::tracing(runtime::kTraceWarnings))
                runtime::trace(runtime::TraceEvent::kWarning, this,
                               "MewBase: Receiver thread ended by " + info.type_name + ": ", info.message);
            return ReadEnd::kChannelEnded;
        }
        // A frame cut short by the stop itself is nothing to report.
        if (stop_flag_.load() && !info.interrupt) return own ? ReadEnd::kFrameLost : ReadEnd::kChannelEnded;
        if (info.io_error) {
            runtime::print_line("IOError from MewFullDuplex: " + info.message);
            runtime::trace(runtime::TraceEvent::kWarning, this, "IOError from MewFullDuplex: ", info.message);
            if (!own) pause(0.1, stop_flag_);
        } else {
            runtime::print_line("Ignore unhandled exception: " + info.message);
            runtime::trace(runtime::TraceEvent::kWarning, this, "Ignore unhandled exception: ", info.message);
        }
        return ReadEnd::kFrameLost;
    }
}

void MewBase::receiver_loop() {
    // Nothing may leave this function: an exception ending a thread ends the
    // whole process.
    try {
        while (receiver_turn()) {
            struct Turn {
                MewBase &base;
                ~Turn() { base.turn_.fetch_and(~kReceiverReads, std::memory_order_release); }
            } turn{*this};
            if (read_and_route(-1.0, false) == ReadEnd::kChannelEnded) return;
        }
    } catch (...) {
        runtime::print_line("MewBase: Receiver thread ended by an unexpected error");
        runtime::trace(runtime::TraceEvent::kWarning, this,
                       "MewBase: Receiver thread ended by an unexpected error");
    }
}

}  // namespace mew
