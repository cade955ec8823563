#include "link/mew_master_base.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "base/errors.h"
#include "base/runtime.h"
#include "codec/frames.h"
#include "codec/long_frames.h"
#include "codec/mew_static.h"
#include "codec/text.h"
#include "link/answer_size.h"

namespace mew {

namespace {

// A master's warning for the host's log (see runtime::trace).
void warn(const MewMasterBase *master, std::string_view head, std::string_view tail = {}) {
    runtime::trace(runtime::TraceEvent::kWarning, static_cast<const MewBase *>(master), head, tail);
}

// The longest response a command of unknown size may have: as long as the
// longest frame the receiver takes.
constexpr std::int64_t kLongestAnswer = 64 * 1024;
// Data characters a frame of the shortest frame limit (118) carries at
// least, but for the last: what a long response's frames and total time are
// counted in.
constexpr std::int64_t kFrameData = 100;
// How often a wait for a quiet line looks again while a frame is coming in.
constexpr double kBusySlice = 0.01;
// How often a query that left its answer to the receiver looks whether it
// may read the line itself after all.
constexpr double kTurnRetry = 0.005;

double seconds_since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

ResponseTimeout timed_out(const MewMasterBase *master, std::string_view command) {
    warn(master, "MewMasterBase: device response timeout.");
    std::optional<std::int64_t> station;
    try {
        station = MewStatic::parse_station(command);
    } catch (...) {
    }
    return ResponseTimeout(station);
}

}  // namespace

// A query's time-out, counted from its start; without limit when negative.
class MewMasterBase::Deadline {
public:
    explicit Deadline(double seconds)
        : forever_(runtime::unbounded(seconds)),
          start_(Clock::now()),
          end_(start_ + std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(forever_ ? 0.0 : seconds))) {}
    Clock::time_point start() const { return start_; }
    bool forever() const { return forever_; }
    // Seconds left (never below 0), or -1 without limit.
    double left() const {
        return forever_ ? -1.0 : std::max(0.0, std::chrono::duration<double>(end_ - Clock::now()).count());
    }
    bool passed() const { return !forever_ && Clock::now() >= end_; }
    // At most `seconds`, and no longer than what is left.
    double within(double seconds) const { return forever_ ? seconds : std::min(seconds, left()); }

private:
    bool forever_;
    Clock::time_point start_;
    Clock::time_point end_;
};

// What becomes of an exchange that ends without its answer, on every way
// out (a time-out, a failed check, an interruption, a close): its answer
// must never reach a later one.
class MewMasterBase::Outcome {
public:
    Outcome(MewMasterBase &master, Connections *connections) : master_(master), connections_(connections) {}
    Outcome(const Outcome &) = delete;
    Outcome &operator=(const Outcome &) = delete;
    ~Outcome() {
        try {
            if (answered) {
                if (master_.guarding_.load()) master_.guard_line(false);
            } else if (connections_) {
                if (connections_->abandon() != 0)
                    warn(&master_,
                         "MewMasterBase: Connection dropped after a query without its answer; the next query "
                         "connects anew.");
                master_.abandon_input(connections_->latest());
            } else {
                master_.guard_line(true);
            }
        } catch (...) {
        }
    }
    bool answered = false;

private:
    MewMasterBase &master_;
    Connections *connections_;
};

AnswerSize MewMasterBase::SizeMemo::of(std::string_view command) {
    if (command.size() == length_ && std::memcmp(command.data(), command_, length_) == 0) return size_;
    size_ = answer_size(command);
    length_ = command.size() <= kLongestCommand ? command.size() : 0;
    std::memcpy(command_, command.data(), length_);
    return size_;
}

std::string MewMasterBase::query(std::string_view command) {
    check_process();
    StationLockGuard hold(query_lock_);
    return exchange(command);
}

std::vector<std::string> MewMasterBase::transact(std::string_view command) {
    check_process();
    StationLockGuard hold(query_lock_);
    std::vector<std::string> frames;
    try {
        exchange(command, &frames);
    } catch (const DeviceError &) {
        // The error response is the device's answer like any other.
    } catch (const IOError &) {
        if (frames.empty()) throw;
    }
    return frames;
}

double MewMasterBase::late_answer_gap() const {
    double gap = std::max(0.0, late_answer_gap_.load());
    double timeout = query_timeout_.load();
    if (!std::isnan(timeout) && !runtime::unbounded(timeout)) gap = std::min(gap, timeout);
    return gap;
}

void MewMasterBase::guard_line(bool on) {
    if (on) guarding_since_ = Clock::now();
    if (guarding_.exchange(on) != on) watch_line(on);
}

void MewMasterBase::drop_late(const std::string &frame) {
    runtime::print_line("MewMasterBase: Drop late response: " + frame);
    warn(this, "MewMasterBase: Drop late response: ", frame);
}

std::optional<std::string> MewMasterBase::next_frame(FrameQueue &queue, double timeout) {
    return next_frame(queue, Deadline(timeout));
}

std::optional<std::string> MewMasterBase::next_frame(FrameQueue &queue, const Deadline &until) {
    if (!reading_own_) {
        const ReadTurn turn = take_read_turn();
        if (turn == ReadTurn::kReceiverKeeps) return queue.get(until.left());
        if (turn == ReadTurn::kReceiverReading) return routed_or_own(queue, until);
        reading_own_ = true;
    }
    std::optional<std::string> frame;
    // What the receiver routed before this thread took the turn.
    if (queue.pending() && queue.take(frame)) return frame;
    for (;;) {
        // The channel's waits look for Ctrl-C themselves; close() and
        // stop() wake them.
        Handover handover{&queue, std::nullopt};
        if (read_and_route(until.left(), true, &handover) == ReadEnd::kChannelEnded) {
            // The receiver meets the channel's end in its turn, and tells.
            reading_own_ = false;
            give_read_turn(false);
            return queue.get(until.left());
        }
        if (handover.frame) return std::move(handover.frame);
        if (queue.take(frame)) return frame;
        if (until.passed()) return std::nullopt;
    }
}

std::optional<std::string> MewMasterBase::routed_or_own(FrameQueue &queue, const Deadline &until) {
    // The receiver was reading when the query looked: the answer may come
    // through it. But a receiver whose read ends with a response of
    // another exchange steps aside for the queries that read their own, and
    // this one must then take the turn itself, or wait to its time-out for a
    // frame nobody reads.
    for (;;) {
        if (std::optional<std::string> frame = queue.get(until.within(kTurnRetry))) return frame;
        if (queue.closed() || queue.lost() || until.passed()) return std::nullopt;
        switch (take_read_turn()) {
            case ReadTurn::kTaken:
                reading_own_ = true;
                return next_frame(queue, until);
            case ReadTurn::kReceiverKeeps:
                return queue.get(until.left());
            case ReadTurn::kReceiverReading:
                break;
        }
    }
}

bool MewMasterBase::await_quiet_line(FrameQueue &queue, const Deadline &deadline) {
    const double gap = late_answer_gap();
    // Responses that came while no query listened were stamped all the same.
    Clock::time_point quiet_since = std::max(guarding_since_, last_response());
    for (;;) {
        const double quiet = seconds_since(quiet_since);
        const bool busy = receiving();
        if (quiet >= gap && !busy) return true;
        if (deadline.passed()) return false;
        if (std::optional<std::string> frame = queue.get(deadline.within(busy ? kBusySlice : gap - quiet))) {
            drop_late(*frame);
            quiet_since = Clock::now();
        }
    }
}

std::optional<std::string> MewMasterBase::settled_response(FrameQueue &queue, const Deadline &deadline) {
    std::optional<std::string> candidate = queue.get(deadline.left());
    if (!candidate) return std::nullopt;
    // The answer may come up to the time-out, and the silence after it
    // takes at most one gap more.
    const double gap = late_answer_gap();
    const Deadline settle_by(deadline.forever() ? -1.0 : deadline.left() + gap);
    Clock::time_point since = Clock::now();
    for (;;) {
        const double quiet = seconds_since(since);
        const bool busy = receiving();
        if (quiet >= gap && !busy) return candidate;
        if (settle_by.passed() || queue.closed()) {
            drop_late(*candidate);
            return std::nullopt;
        }
        if (std::optional<std::string> next = queue.get(settle_by.within(busy ? kBusySlice : gap - quiet))) {
            drop_late(*candidate);
            candidate = std::move(next);
            since = Clock::now();
        }
    }
}

std::string MewMasterBase::exchange(std::string_view cmd, std::vector<std::string> *raw) {
    // Commands come with their CR from the builders: copied only when not.
    std::string with_tail;
    std::string_view command = cmd;
    if (command.empty() || command.back() != MewStatic::TAIL) {
        with_tail.reserve(cmd.size() + 1);
        with_tail.append(cmd).push_back(MewStatic::TAIL);
        command = with_tail;
    }
    double timeout = query_timeout_.load();
    if (std::isnan(timeout)) timeout = 0;
    Connections *const connections = channel().connections();
    // The master's one queue serves each query in turn: the receiver routes
    // under the listener lock, so once the last query left the list nothing
    // more reaches the queue, and what is left in it is emptied here.
    if (!replies_ || !replies_->reset()) replies_ = std::make_shared<FrameQueue>();
    Subscription subscription(feedback_listeners(), replies_);
    FrameQueue &queue = subscription.queue();
    // After a failure on a line, the answer it missed may come now: the
    // command waits until the line has rested (a line that never does
    // within a time-out fails the query).
    const bool guarded = !connections && guarding_.load();
    if (guarded && !await_quiet_line(queue, Deadline(timeout))) throw timed_out(this, command);
    // Then the query keeps to its time-out: a connection made anew, the
    // command and its answer.
    const Deadline deadline(timeout);
    Outcome outcome(*this, connections);
    // Ends before the outcome: a line watched for late answers is the
    // receiver's at once.
    struct Turn {
        MewMasterBase &master;
        const Outcome &outcome;
        ~Turn() {
            if (!master.reading_own_ && outcome.answered) return;
            master.reading_own_ = false;
            master.give_read_turn(outcome.answered);
        }
    } turn{*this, outcome};
    if (connections) connections->connect(deadline.left());
    // A loss reported before the command goes out was an earlier
    // connection's: the send connects again.
    if (queue.pending()) queue.clear_lost();
    send(command);
    const std::uint64_t sent_on = connections ? connections->latest() : 0;
    for (;;) {
        std::optional<std::string> response =
            guarded ? settled_response(queue, deadline) : next_frame(queue, deadline);
        if (!response) {
            if (queue.closed()) throw PortClosedError();
            if (std::optional<std::string> lost = queue.lost()) {
                // A loss of a connection older than the command's is stale
                // news: that connection carried no part of this exchange.
                const std::uint64_t which = queue.lost_connection();
                if (which != 0 && which < sent_on) {
                    queue.clear_lost();
                    continue;
                }
                throw ConnectionLost(*lost, which);
            }
            if (!deadline.passed() && !guarded) continue;
            throw timed_out(this, command);
        }
        if (raw) raw->assign(1, *response);
        std::optional<std::string> result;
        try {
            result = frames::check_response(command, *response);
        } catch (const DeviceError &) {
            outcome.answered = true;  // the device's own answer: a refusal
            throw;
        }
        if (!result) {
            if (raw) raw->clear();
            runtime::print_line("MewMasterBase: Drop response to another command: " + *response);
            warn(this, "MewMasterBase: Drop response to another command: ", *response);
            continue;
        }
        // The code is one of the command's own; the size of the data tells
        // an answer to the same command with other fields. One that cannot
        // be this command's still goes to the caller, whose check refuses
        // it, but this command's own answer may follow it: the guards stay.
        const AnswerSize size = answer_sizes_.of(command);
        auto data_length = [&] {
            return static_cast<std::int64_t>(text::length(*result)) - frames::kResponseCodeField;
        };
        if (frames::is_continued(*response)) {
            try {
                *result += further_frames(command, *response, queue, timeout, raw, data_length(),
                                          size.most.value_or(kLongestAnswer));
            } catch (const DeviceError &) {
                outcome.answered = true;
                throw;
            }
        }
        outcome.answered = size.fits(data_length());
        return *result;
    }
}

std::string MewMasterBase::further_frames(std::string_view command, std::string frame, FrameQueue &queue,
                                          double timeout, std::vector<std::string> *raw, std::int64_t have,
                                          std::int64_t most) {
    struct Awaiting {
        MewBase &link;
        explicit Awaiting(MewBase &l) : link(l) { link.await_continuation(true); }
        ~Awaiting() { link.await_continuation(false); }
    } awaiting(*this);
    // Each frame has the whole time-out, as the device answers frame by
    // frame; the response as a whole has as many as its size can need.
    const bool bounded = !runtime::unbounded(timeout);
    const Deadline total(bounded ? timeout * static_cast<double>(2 + (most + kFrameData - 1) / kFrameData)
                                 : -1.0);
    const std::string request = frames::continuation_request(frame);
    std::string data;
    std::int64_t frames_taken = 0;
    while (frames::is_continued(frame)) {
        // Every frame but the last is filled up to the frame limit, 118 at
        // least: more frames than that are no response, whatever they carry.
        if (++frames_taken > most / kFrameData + 1)
            throw IOError("Error: device response format invalid: too many frames: " +
                          std::to_string(frames_taken + 1));
        send(request);
        for (;;) {
            std::optional<std::string> next = next_frame(queue, bounded ? total.within(timeout) : -1.0);
            if (!next) {
                if (queue.closed()) throw PortClosedError();
                if (std::optional<std::string> lost = queue.lost())
                    throw ConnectionLost(*lost, queue.lost_connection());
                throw timed_out(this, command);
            }
            if (!frames::has_type(*next)) {
                frame = *next;
                if (raw) raw->push_back(frame);
                data += frames::continuation_data(command, frame);
                const auto length = have + static_cast<std::int64_t>(text::length(data));
                if (length > most)
                    throw IOError("Error: device response format invalid: length too large: " +
                                  std::to_string(length));
                break;
            }
            // A device that gives up on the transfer says so with an error
            // response; anything else typed belongs to another exchange.
            if (raw) raw->push_back(*next);
            frames::check_response(command, *next);
            if (raw) raw->pop_back();
            runtime::print_line("MewMasterBase: Drop response to another command: " + *next);
            warn(this, "MewMasterBase: Drop response to another command: ", *next);
        }
    }
    return data;
}

}  // namespace mew
