// The transport under every station: moves whole frames as text.
//
// Text is UTF-8 in the core. A channel that receives bytes hands them on one
// character per byte (Latin-1), so every byte value survives the trip.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace mew {

// What a channel that carries frames over connections (TCP) offers beyond
// moving them. A connection's bytes stay its own: what a dropped one
// brought is never read as the next one's. Connections are numbered from 1
// in the order they are made.
class Connections {
public:
    virtual ~Connections() = default;
    // The number of the latest connection made, open or dropped since.
    virtual std::uint64_t latest() const = 0;
    // The connection that the bytes the last read returned came over; 0
    // before any.
    virtual std::uint64_t last_read() const = 0;
    // Drops the open connection, if any, without reporting a loss to
    // readers: an exchange on it went wrong and nothing more may come of
    // it. Returns its number; 0 when none was open.
    virtual std::uint64_t abandon() = 0;
    // Connects unless connected, waiting at most `timeout` seconds
    // (negative: the channel's own limit) besides the channel's own limit;
    // IOError when no connection can be made.
    virtual void connect(double timeout) = 0;
};

class Channel {
public:
    virtual ~Channel() = default;

    // At most `size` characters; empty when nothing arrived in time.
    virtual std::string read(std::int64_t size) = 0;
    // The receiver's one-character read; a channel may give it its own
    // default size.
    virtual std::string read_one() { return read(1); }
    // Everything from the next byte up to and including the next CR.
    virtual std::string receive_frame() = 0;
    // The receiver's read: read_one(), then, unless it came back empty, the
    // rest of the frame; a channel may do both at once. `started` is set
    // once the first byte is taken, before the rest is read (another thread
    // may watch it to tell a frame coming in).
    virtual std::string read_frame(std::atomic<bool> &started) {
        std::string first = read_one();
        if (first.empty()) return first;
        started.store(true, std::memory_order_relaxed);
        return first + receive_frame();
    }
    // Whether read_frame_within() keeps to the time-out it is given, with
    // the bytes read in this process and wake_reader() reaching the read:
    // what lets the thread that waits for an answer read it itself.
    virtual bool reads_within() const { return false; }
    // As read_frame(), but waiting at most `timeout` seconds for the first
    // byte (negative: without limit).
    virtual std::string read_frame_within(std::atomic<bool> &started, double timeout) {
        (void)timeout;
        return read_frame(started);
    }
    virtual void send_frame(std::string_view data) = 0;
    virtual std::int64_t in_waiting() = 0;
    virtual void close() {}
    virtual void flush_input() {}
    virtual void flush_output() {}

    // Its connections, for a channel that has them; none for a line.
    virtual Connections *connections() { return nullptr; }
    // Makes a read that waits in another thread now return as if its
    // time-out had passed, so that a stopping receiver need not wait for
    // it; a read that comes later may return early once. Does nothing
    // unless overridden.
    virtual void wake_reader() {}
};

}  // namespace mew
