// A channel on an open descriptor that carries bytes as a serial line does:
// a serial port, a pseudo-terminal, one end of a socket pair. Bytes move in
// C++ without the host's help; the descriptor stays its owner's, and close()
// only makes sure that nobody uses it any more.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "transport/channel.h"
#include "transport/frame_reader.h"
#include "transport/posix_port.h"

namespace mew {

class FdChannel final : public Channel {
public:
    // `timeout`: the read time-out per byte, seconds (negative: none).
    FdChannel(int fd, double timeout) : port_(fd), reader_(port_, timeout), fd_(fd) {}

    std::string read(std::int64_t size) override { return reader_.read(size); }
    std::string receive_frame() override { return reader_.receive_frame(); }
    std::string read_frame(std::atomic<bool> &started) override { return reader_.read_frame(started); }
    bool reads_within() const override { return true; }
    std::string read_frame_within(std::atomic<bool> &started, double timeout) override {
        return reader_.read_frame(started, timeout);
    }
    void send_frame(std::string_view data) override { port_.write(data); }
    // Bytes read ahead plus those the descriptor holds.
    std::int64_t in_waiting() override;
    // Wakes every reader and writer and refuses later calls.
    void close() override { port_.shutdown(); }
    void wake_reader() override { port_.interrupt(); }
    // Drops what was read ahead and what the descriptor holds.
    void flush_input() override;

    // Bytes read from the descriptor that no read has taken yet.
    std::size_t buffered() const { return reader_.buffered(); }
    // Drops what was read ahead, and wakes no read has seen.
    void discard() {
        port_.clear_interrupts();
        reader_.discard();
    }

private:
    PosixPort port_;
    FrameReader reader_;
    int fd_;
};

}  // namespace mew
