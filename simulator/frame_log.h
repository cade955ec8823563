// The last frames a simulator exchanged, for whoever watches the line: each
// command a device received with the one frame it sent back, numbered from 1
// in the order they were answered.
//
// Off until given a capacity. The line's workers look at enabled() before
// they build an entry, so a log that is off costs them one atomic load per
// frame; a log that is on costs a lock and a copy of the two frames.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace mew {

class FrameLog {
public:
    struct Entry {
        std::int64_t seq = 0;
        double time = 0;  // seconds since the epoch, when the answer was ready
        std::int64_t station = 0;
        std::string command;
        std::string answer;  // empty when the device sent nothing
    };

    static constexpr std::int64_t kMaxCapacity = 100000;

    // Keeps the last `capacity` entries from now on, the newest of those
    // already kept included; 0 stops and forgets them. ValueError outside
    // 0..kMaxCapacity. Numbers go on where they were: a watcher that asks for
    // what came after the last it saw never sees one twice.
    void set_capacity(std::int64_t capacity);
    std::int64_t capacity() const { return capacity_.load(); }
    bool enabled() const { return capacity_.load(std::memory_order_relaxed) > 0; }

    // Frames as the line carries them; a trailing CR is left out. Nothing
    // when the log is off.
    void record(std::int64_t station, std::string_view command, std::string_view answer);

    // The entries numbered above `after`, oldest first.
    std::vector<Entry> after(std::int64_t after) const;

private:
    std::atomic<std::int64_t> capacity_{0};
    mutable std::mutex mutex_;
    // A ring, changed under the mutex: it grows to the capacity, then the
    // oldest slot, at next_, is written over.
    std::vector<Entry> ring_;
    std::size_t next_ = 0;
    std::int64_t next_seq_ = 1;

    std::size_t oldest() const;
};

}  // namespace mew
