// The link base of every station: owns a channel, sends frames one at a time
// under the sender lock, and runs the receiver thread that routes every frame
// it reads by its frame type.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/runtime.h"
#include "link/listener.h"
#include "link/station_lock.h"
#include "transport/channel.h"

namespace mew {

class MewBase {
public:
    explicit MewBase(std::shared_ptr<Channel> channel);
    virtual ~MewBase();
    MewBase(const MewBase &) = delete;
    MewBase &operator=(const MewBase &) = delete;

    virtual void start();
    virtual void stop();
    virtual void close();
    virtual void send(std::string_view data);

    // The receiver thread's body.
    void receiver_loop();

    Channel &channel() const { return *channel_; }
    const std::shared_ptr<Channel> &channel_ptr() const { return channel_; }
    bool stop_flag() const { return stop_flag_.load(); }
    ListenerList &feedback_listeners() { return feedback_listeners_; }
    ListenerList &query_listeners() { return query_listeners_; }
    StationLock &listener_lock() { return listener_lock_; }
    StationLock &sender_lock() { return sender_lock_; }
    runtime::WorkerThread *receiver_thread() const { return receiver_thread_.get(); }

    // IOError when this station is used in a process forked from the one
    // that made it: the line, the locks and the threads are the parent's.
    void check_process() const;

    // Frames of multi-frame transfers carry no type character. The receiver
    // routes further frames of a response to the feedback listeners while a
    // query awaits one, and requests for the next frame to the query
    // listeners once a slave of this station cuts its answers into frames;
    // otherwise both are unknown frames, as any frame without a type.
    void await_continuation(bool awaiting) { continuations_awaited_ += awaiting ? 1 : -1; }
    void serve_continuations(bool serve) { serves_continuations_ = serve; }

    // Frames that came over the channel's connections up to number
    // `connection` are dropped from now on, even one read already and not
    // yet routed: an exchange on them went wrong, and nothing of it may
    // reach a later one.
    void abandon_input(std::uint64_t connection);

    // What the line did lately, for a master that must tell a late answer
    // from its own. Kept only while watched (watch_line(true) counts up,
    // false down): otherwise the receiver pays nothing for it.
    using Clock = std::chrono::steady_clock;
    void watch_line(bool on) { line_watchers_ += on ? 1 : -1; }
    // Whether a frame is being received now.
    bool receiving() const { return in_frame_.load(std::memory_order_relaxed); }
    // When the last frame that went to a feedback listener was read, while
    // watched; the clock's epoch before any.
    Clock::time_point last_response() const {
        return Clock::time_point(Clock::duration(last_response_.load()));
    }

protected:
    // Reading turns. While a query of this station's master waits for its
    // answer, the thread that asked reads the line itself and routes every
    // frame as the receiver would: one thread per exchange, where the
    // receiver would read the answer and wake the querying thread. The
    // receiver steps aside while a query holds the turn, and for a moment
    // after a response (kReadAside), so that queries back to back find it
    // out of the way. It keeps the turn on a station with a slave side
    // (commands come at any time), while the line is watched for late
    // answers, on channels that cannot read within a time-out (those that
    // go through Python), and when a subclass replaced the receiver.
    static constexpr double kReadAside = 0.05;
    void set_read_aside(double seconds) { read_aside_ = seconds; }
    // Takes the turn unless the receiver is reading or must keep it.
    enum class ReadTurn { kTaken, kReceiverReading, kReceiverKeeps };
    ReadTurn take_read_turn();
    // `answered`: the query got its answer; otherwise whatever comes next
    // is the receiver's at once (a late answer is watched for at once).
    void give_read_turn(bool answered);
    // How one read of the line ended.
    enum class ReadEnd { kFrame, kNothing, kFrameLost, kChannelEnded };
    // A frame routed to listener `to` is handed to the reading thread
    // itself instead of being put into it: a query that reads its own
    // answer takes it from here. Only while `to` holds nothing: the frames
    // keep their order.
    struct Handover {
        const FrameQueue *to = nullptr;
        std::optional<std::string> frame;
    };
    // Reads one frame, waiting at most `timeout` seconds for its first byte
    // (the channel's own time-out when negative and `own` is false), and
    // routes it; reports what goes wrong as the receiver does, but for a
    // channel that ended: that is the receiver's to meet and report. An
    // interruption (Ctrl-C) of a querying thread's read is thrown.
    ReadEnd read_and_route(double timeout, bool own, Handover *handover = nullptr);
    // Whether a Python subclass replaced the receiver's body.
    virtual bool receiver_replaced() const { return false; }

    // Creates (without starting) a thread whose body is the named method of
    // this station; a host may run it on threads of its own.
    virtual std::unique_ptr<runtime::WorkerThread> spawn(const char *method, std::function<void()> body);
    // Sleeps, but wakes early once `flag` is set.
    void pause(double seconds, const std::atomic<bool> &flag);
    // Wakes every pause() at once; called by whoever sets a stop flag.
    void wake_pauses();

private:
    runtime::ProcessOwner owner_;
    std::shared_ptr<Channel> channel_;
    std::atomic<bool> stop_flag_{true};
    std::atomic<int> continuations_awaited_{0};
    std::atomic<bool> serves_continuations_{false};
    Connections *const connections_;  // the channel's, or none
    std::uint64_t abandoned_ = 0;     // under the listener lock
    std::atomic<int> line_watchers_{0};
    std::atomic<bool> in_frame_{false};
    std::atomic<Clock::rep> last_response_{0};
    StationLock listener_lock_;
    StationLock sender_lock_;
    ListenerList feedback_listeners_{listener_lock_};
    ListenerList query_listeners_{listener_lock_};
    std::unique_ptr<runtime::WorkerThread> receiver_thread_;
    std::mutex pause_mutex_;
    std::condition_variable pause_cv_;
    // The reading turn (see take_read_turn): who reads, in one word, so
    // that a query takes and gives back the turn with one atomic operation
    // each. The mutex and condition are the receiver's, to wait on; a
    // query that wants it to read at once takes the mutex to tell it.
    static constexpr unsigned kReceiverReads = 1, kQueryReads = 2;
    std::atomic<unsigned> turn_{0};
    std::mutex turn_mutex_;
    std::condition_variable turn_cv_;
    // Until when the receiver stays aside (the clock's count); 0: no longer.
    std::atomic<Clock::rep> aside_until_{0};
    std::atomic<bool> aside_after_response_{false};
    // Whether the last query might have read its own answer.
    std::atomic<bool> queries_read_own_{false};
    std::atomic<double> read_aside_{kReadAside};

    // Whether a query may take the turn now, as far as the line goes.
    bool may_read_own() const;
    Clock::time_point aside_from_now() const;
    // Waits until the receiver may read; false once stopping.
    bool receiver_turn();
    // `from`: the connection the frame came over (0: none). Under the
    // listener lock. `routing`: where the listeners the frame went to are
    // put. `line` may be moved into the handover.
    void route(std::string &line, std::uint64_t from, std::vector<ListenerList::Item> &routing,
               Handover *handover);
    // The listeners a frame went to, kept from one frame to the next so
    // that routing allocates nothing: the receiver's, and that of the query
    // holding the reading turn (one at a time).
    std::vector<ListenerList::Item> receiver_routing_, own_routing_;
};

}  // namespace mew
