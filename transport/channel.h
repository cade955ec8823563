// The transport under every station: moves whole frames as text.
//
// Text is UTF-8 in the core. A channel that receives bytes hands them on one
// character per byte (Latin-1), so every byte value survives the trip.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace mew {

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
    virtual void send_frame(std::string_view data) = 0;
    virtual std::int64_t in_waiting() = 0;
    virtual void close() {}
    virtual void flush_input() {}
    virtual void flush_output() {}
};

}  // namespace mew
