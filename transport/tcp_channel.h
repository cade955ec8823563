// A channel over TCP: Ethernet units and serial-to-Ethernet converters carry
// the serial frames unchanged over a TCP stream (port 9094 by convention).
//
// It keeps the guarantees of the serial path: bytes move in C++, frames are
// reassembled by CR however the stream splits or joins them, and close()
// from another thread wakes a blocked reader at once.
//
// One connection at a time, opened by the constructor. When the peer closes
// it or it breaks, the channel drops it: the socket goes and so does every
// byte read ahead from it, so nothing that came over an earlier connection
// is ever read later. The next read reports the drop once (ConnectionLost);
// later reads wait their time-out and return nothing. The next send connects
// again. A failed attempt makes the sends of the next moments fail at once
// instead of trying again, the pause doubling with each failure up to a
// limit, so that a dead unit is not hammered.
#pragma once

#include <fcntl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "base/quick_mutex.h"
#include "base/runtime.h"
#include "transport/channel.h"
#include "transport/frame_reader.h"

namespace mew {

struct TcpSettings {
    // Read time-out per byte, seconds (negative: without limit).
    double timeout = 0.1;
    // Longest wait for a connection to one address, and for the peer to take
    // bytes that a send hands it (negative: without limit).
    double connect_timeout = 3.0;
    // Pause after a failed connection attempt, doubled after each further
    // one up to the longest; a connection made resets it.
    double first_backoff = 0.5;
    double longest_backoff = 8.0;
};

struct TcpAddress {
    std::string host;  // a name, or an IP address without brackets
    int port = 0;
};

// The address of a port name "tcp://host:port" or "socket://host:port"
// (the scheme in any case; an IPv6 address in brackets); nothing for a name
// with another scheme or none. ValueError with a one-line message for a
// TCP name without a host, without a port or with a port not in 1..65535.
std::optional<TcpAddress> parse_tcp_url(std::string_view name);

class TcpChannel : public Channel, private Connections {
public:
    // Connects at once; IOError "cannot connect to host:port: [Errno 111]
    // Connection refused" when that fails. `host` is a name or an IPv4 or
    // IPv6 address (without brackets).
    TcpChannel(std::string host, int port, TcpSettings settings = {});
    ~TcpChannel() override;
    TcpChannel(const TcpChannel &) = delete;
    TcpChannel &operator=(const TcpChannel &) = delete;

    // Each read first reports a drop that no read has reported yet, by
    // throwing ConnectionLost.
    std::string read(std::int64_t size) override;
    std::string read_one() override;
    std::string receive_frame() override;
    std::string read_frame(std::atomic<bool> &started) override;
    bool reads_within() const override { return true; }
    std::string read_frame_within(std::atomic<bool> &started, double timeout) override;
    // Connects first when there is no connection (see above); a send that
    // fails drops the connection and throws ConnectionLost.
    void send_frame(std::string_view data) override;
    std::int64_t in_waiting() override;
    // Wakes every reader and writer, closes the connection and refuses all
    // later calls with PortClosedError.
    void close() override;
    // Drops what was read ahead and what the socket holds now.
    void flush_input() override;
    Connections *connections() override { return this; }
    void wake_reader() override;

    const std::string &host() const { return host_; }
    int port() const { return port_; }
    // "host:port", with an IPv6 address in brackets.
    std::string address() const;
    const TcpSettings &settings() const { return settings_; }
    bool connected() const;
    bool closed() const { return closed_.load(); }
    // Seconds until a send may try to connect again; 0 when it may now.
    double backoff_left() const;
    // The pause that the last failed attempt set; 0 before any failure and
    // after a connection was made.
    double backoff_pause() const;

private:
    using Clock = std::chrono::steady_clock;
    struct Connection;

    std::uint64_t latest() const override;
    std::uint64_t last_read() const override { return last_read_.load(); }
    std::uint64_t abandon() override;
    void connect(double timeout) override;

    class Source : public ByteSource {
    public:
        explicit Source(TcpChannel &channel) : channel_(channel) {}
        std::size_t read_some(char *into, std::size_t max, double timeout) override {
            return channel_.fill(into, max, timeout);
        }

    private:
        TcpChannel &channel_;
    };
    struct Pipe {
        explicit Pipe(int flags = 0);
        ~Pipe();
        Pipe(const Pipe &) = delete;
        Pipe &operator=(const Pipe &) = delete;
        int fds[2] = {-1, -1};
    };

    const std::string host_;
    const int port_;
    const TcpSettings settings_;
    runtime::ProcessOwner owner_;
    Pipe wake_;                   // written once by close()
    Pipe interrupt_{O_NONBLOCK};  // a byte for each wake_reader()
    std::atomic<bool> interrupted_{false};
    std::atomic<int> readers_{0};  // reads waiting for input
    std::atomic<bool> closed_{false};

    // The connection and what is known of it.
    mutable std::mutex state_mutex_;
    std::condition_variable state_cv_;  // a connection came, or close()
    std::shared_ptr<Connection> connection_;
    std::uint64_t generation_ = 0;       // of the latest connection
    std::optional<std::string> lost_;    // a drop no read has reported yet
    std::uint64_t lost_connection_ = 0;  // the connection it was
    std::string last_error_;             // of the last failed attempt
    double backoff_;                     // the pause the next failure sets
    double pause_ = 0;                   // the pause the last failure set
    Clock::time_point next_attempt_{};

    // Writers, one at a time (a send may connect first).
    QuickMutex write_mutex_;

    // Readers, one at a time. `buffer_generation_`: the connection whose
    // bytes the reader holds (0: none).
    QuickMutex read_mutex_;
    std::uint64_t buffer_generation_ = 0;
    // The connection of the bytes the last read returned.
    std::atomic<std::uint64_t> last_read_{0};
    Source source_{*this};
    FrameReader reader_;

    std::shared_ptr<Connection> current() const;
    // A socket connected to the host, or -1 with the reason in `error`.
    // `timeout`: the longest wait for the connection, seconds (negative: the
    // settings' connect_timeout).
    int open_socket(std::string &error, double timeout);
    std::shared_ptr<Connection> reconnect(double timeout = -1);
    // Drops `c` unless it was dropped already; the message of its loss.
    // `report`: the next read reports it (ConnectionLost).
    std::string drop(const std::shared_ptr<Connection> &c, const std::string &reason, bool report = true);
    // Waits until `fd` has `events`; false when `timeout` passed first.
    bool wait(int fd, short events, double timeout);
    std::size_t fill(char *into, std::size_t max, double timeout);
    // Forgets the wakes of wake_reader(); true when there was one.
    bool take_interrupt();
    // Lets go of bytes of a dropped connection; reports a drop once.
    void check_input();
    // `whole_frame`: once set, the read is a frame's (a frame broken off
    // with its connection is an invalid one, as on a serial line).
    template <class Read>
    std::string reading(Read read, const std::atomic<bool> &whole_frame);
};

}  // namespace mew
