// A station that is a master: one command out, its response back.
#pragma once

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "link/mew_base.h"

namespace mew {

class MewMasterBase : public MewBase {
public:
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

protected:
    // `raw`, when given, receives the frames taken as the response.
    std::string exchange(std::string_view command, std::vector<std::string> *raw = nullptr);

private:
    using Clock = std::chrono::steady_clock;

    // Set by the host while another thread's query may be reading it.
    std::atomic<double> query_timeout_;
    StationLock query_lock_;
    // After a query ended without its response, that response may still
    // come. Until this moment the next query first waits for it and drops
    // it, so that it is never taken as the answer to another command.
    // Only touched under the query lock.
    Clock::time_point late_until_{};

    void drop_late_response(FrameQueue &queue);
    // The data of the frames that follow `frame`, the first frame of a
    // longer response, each asked for in turn.
    std::string further_frames(const std::string &command, std::string frame, FrameQueue &queue,
                               double timeout, std::vector<std::string> *raw);
};

}  // namespace mew
