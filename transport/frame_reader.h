// Frame reading over a byte source with a per-byte time-out.
//
// Bytes are read ahead in blocks instead of one system call per byte; the
// read-ahead stays inside the reader, so read(), receive_frame() and the
// count of waiting bytes all see the same stream.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "base/quick_mutex.h"

namespace mew {

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Reads at least one and at most `max` bytes into `into`, waiting at
    // most `timeout` seconds (negative: without limit) for the first;
    // returns how many, 0 when none came in time.
    virtual std::size_t read_some(char *into, std::size_t max, double timeout) = 0;
    // The same for a reader that only a close may wake before its time-out
    // (a thread reading its own answer): a source may watch less for it.
    virtual std::size_t read_some_quietly(char *into, std::size_t max, double timeout) {
        return read_some(into, max, timeout);
    }
};

class FrameReader {
public:
    // A frame longer than this is line noise, not a frame.
    static constexpr std::size_t kMaxFrame = 64 * 1024;

    FrameReader(ByteSource &source, double timeout) : source_(source), timeout_(timeout) {}

    // Up to `size` bytes as text, waiting at most the time-out in all.
    std::string read(std::int64_t size);
    // One frame up to and including CR; IOError "Error: device no response."
    // when nothing comes, "Error: device response format invalid." when a
    // frame breaks off (or outgrows kMaxFrame). The bytes read are dropped.
    std::string receive_frame();
    // The next byte (waiting at most the time-out for it; nothing when none
    // comes) and the rest of its frame as receive_frame() reads it: the
    // receiver's read of one frame, under one hold of the lock. `started`
    // is set once the first byte is there.
    std::string read_frame(std::atomic<bool> &started);
    // The same, waiting at most `first_byte` seconds (negative: without
    // limit) for the first byte instead of the time-out; the rest of the
    // frame keeps the time-out per byte. Reads quietly (see ByteSource): for
    // a thread that reads its own answer.
    std::string read_frame(std::atomic<bool> &started, double first_byte);
    std::size_t buffered() const;
    void discard();
    double timeout() const { return timeout_; }

private:
    ByteSource &source_;
    double timeout_;
    mutable QuickMutex mutex_;
    // The bytes read ahead are buffer_[pos_, end_); the source reads
    // straight into the room behind them.
    std::string buffer_;
    std::size_t pos_ = 0, end_ = 0;

    // Reads what comes within `timeout` behind the bytes read ahead; false
    // when nothing came.
    bool read_more(double timeout, bool quietly = false);
    std::string read_frame(std::atomic<bool> &started, double first_byte, bool quietly);
    // The frame from the read position up to CR, the first `taken` bytes
    // of it looked at already.
    std::string frame_from(std::size_t taken, bool quietly = false);
    std::string take(std::size_t n);
};

// Bytes as text, one character per byte.
std::string latin1_to_utf8(std::string_view bytes);

}  // namespace mew
