// A station that is a master: one command out, its response back.
//
// No answer to one command is ever taken for another's. A query that ends
// without its answer (a time-out, an interruption, a close, a response it
// cannot use) leaves that answer possibly on its way:
// - over connections (TCP), the query drops its connection, and whatever
//   comes over it later is dropped unread; the next query connects anew;
// - on a line, the next queries discard every response until the line has
//   been quiet for a gap (late_answer_gap), before their command goes out
//   and after each response that comes: a burst of late answers ends with
//   the last one, their own. The first query that gets a fitting answer so
//   ends the guard.
#pragma once

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "link/answer_size.h"
#include "link/mew_base.h"

namespace mew {

class MewMasterBase : public MewBase {
public:
    // The gap of silence that tells the last answer of a burst: longer than
    // a device pauses between answers it sends back to back, short against
    // a query's time-out.
    static constexpr double kLateAnswerGap = 0.1;

    // Negative `query_timeout`: wait without limit.
    MewMasterBase(std::shared_ptr<Channel> channel, double query_timeout = 1.0)
        : MewBase(std::move(channel)), query_timeout_(query_timeout) {}

    // Sends one command frame and returns the response's code and data
    // (without check code and CR), or raises IOError.
    virtual std::string query(std::string_view command);

    // One exchange as a relay needs it: the frames of the response as they
    // came, first to last, an error response included, after the checks a
    // query makes. IOError when no frame came at all (a time-out, a lost
    // connection); after a first frame a failure ends the list early.
    std::vector<std::string> transact(std::string_view command);

    double query_timeout() const { return query_timeout_; }
    void set_query_timeout(double seconds) { query_timeout_ = seconds; }
    StationLock &query_lock() { return query_lock_; }
    // The gap of silence that the guard against late answers waits for on a
    // line (never more than the query time-out).
    double late_answer_gap() const;
    void set_late_answer_gap(double seconds) { late_answer_gap_ = seconds; }
    // Whether the next query guards against a late answer on a line.
    bool guarding() const { return guarding_.load(); }

protected:
    // `raw`, when given, receives the frames taken as the response.
    std::string exchange(std::string_view command, std::vector<std::string> *raw = nullptr);

private:
    using Clock = std::chrono::steady_clock;
    class Deadline;
    class Outcome;

    // Set by the host while another thread's query may be reading it.
    std::atomic<double> query_timeout_;
    std::atomic<double> late_answer_gap_{kLateAnswerGap};
    StationLock query_lock_;
    // On a line, since an exchange ended without its answer (then on, until
    // an exchange gets one). Written under the query lock.
    std::atomic<bool> guarding_{false};
    Clock::time_point guarding_since_{};
    // The queue every query of this master subscribes, made again only
    // once a close has ended it. Only touched under the query lock.
    std::shared_ptr<FrameQueue> replies_;
    // Whether the query under way reads the line itself (it holds the
    // reading turn). Only touched under the query lock.
    bool reading_own_ = false;
    // The size of the answer to the last command, which a loop sends again
    // and again. Only touched under the query lock.
    class SizeMemo {
    public:
        AnswerSize of(std::string_view command);

    private:
        static constexpr std::size_t kLongestCommand = 48;
        char command_[kLongestCommand];
        std::size_t length_ = 0;  // 0: none kept
        AnswerSize size_;
    } answer_sizes_;

    void guard_line(bool on);
    // The next frame routed to `queue` within `timeout` seconds: read by
    // this thread itself once it holds the reading turn, else by the
    // receiver; nothing on a time-out, a close or a loss.
    std::optional<std::string> next_frame(FrameQueue &queue, double timeout);
    std::optional<std::string> next_frame(FrameQueue &queue, const Deadline &until);
    // next_frame() for a query that found the receiver reading.
    std::optional<std::string> routed_or_own(FrameQueue &queue, const Deadline &until);
    // Drops every response until the line has been quiet for the gap; false
    // when the deadline came first.
    bool await_quiet_line(FrameQueue &queue, const Deadline &deadline);
    // The first response that the line stays quiet after for the gap (the
    // ones before it dropped as late); nothing when none came in time.
    std::optional<std::string> settled_response(FrameQueue &queue, const Deadline &deadline);
    void drop_late(const std::string &frame);
    // The data of the frames that follow `frame`, the first frame of a
    // longer response, each asked for in turn; at most `most` characters
    // in all, `have` of which came in the first frame.
    std::string further_frames(std::string_view command, std::string frame, FrameQueue &queue, double timeout,
                               std::vector<std::string> *raw, std::int64_t have, std::int64_t most);
};

}  // namespace mew
