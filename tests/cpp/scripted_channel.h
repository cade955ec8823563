// A channel that plays a device from a script: the response to hand out
// is put in place before the command that it answers is sent, and arrives
// the moment the command goes out. For the C++ tests and the fuzz targets.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "base/errors.h"
#include "codec/long_frames.h"
#include "transport/channel.h"

namespace mew::testing {

class ScriptedChannel : public mew::Channel {
public:
    ScriptedChannel() = default;
    // Answers every command with `response`, at once.
    explicit ScriptedChannel(std::string response) : every_(std::move(response)) {}

    // The response to hand out when the next command is sent.
    void script(std::string response) {
        std::lock_guard<std::mutex> lock(mutex_);
        scripted_ = std::move(response);
        endless_.clear();
        sent_ = false;
    }
    // Answers every request for a further frame with `frame`, as a device
    // that never ends its transfer, until the next script().
    void endless(std::string frame) {
        std::lock_guard<std::mutex> lock(mutex_);
        endless_ = std::move(frame);
    }
    bool sent() {
        std::lock_guard<std::mutex> lock(mutex_);
        return sent_;
    }

    std::string read(std::int64_t size) override {
        std::unique_lock<std::mutex> lock(mutex_);
        reader_waiting_ = true;
        drained_.notify_all();
        // Short, so that the receiver sees its stop flag soon at exit.
        arrived_.wait_for(lock, std::chrono::milliseconds(20), [this] { return !pending_.empty(); });
        if (pending_.empty()) return {};
        reader_waiting_ = false;
        auto n = static_cast<std::size_t>(std::max<std::int64_t>(size, 0));
        std::string out = pending_.substr(0, n);
        pending_.erase(0, n);
        return out;
    }

    std::string receive_frame() override {
        std::lock_guard<std::mutex> lock(mutex_);
        std::size_t cr = pending_.find('\r');
        if (cr == std::string::npos) {
            // As a real line does when a frame breaks off.
            bool empty = pending_.empty();
            pending_.clear();
            throw mew::IOError(empty ? "Error: device no response."
                                     : "Error: device response format invalid.");
        }
        std::string out = pending_.substr(0, cr + 1);
        pending_.erase(0, cr + 1);
        return out;
    }

    void send_frame(std::string_view data) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!endless_.empty() && mew::frames::is_continuation_request(data)) pending_ += endless_;
        pending_ += scripted_ + every_;
        scripted_.clear();
        sent_ = true;
        arrived_.notify_all();
    }

    std::int64_t in_waiting() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return static_cast<std::int64_t>(pending_.size());
    }

    // Waits until the receiver has routed every frame handed out and is back
    // at its read.
    void wait_drained() {
        std::unique_lock<std::mutex> lock(mutex_);
        drained_.wait(lock, [this] { return pending_.empty() && reader_waiting_; });
    }

private:
    const std::string every_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::condition_variable drained_;
    std::string scripted_;
    std::string endless_;
    std::string pending_;
    bool reader_waiting_ = false;
    bool sent_ = false;
};

}  // namespace mew::testing
