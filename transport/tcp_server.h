// A TCP server carrying frames, for stations that serve clients over
// Ethernet: it accepts connections and reads frames (up to and including
// CR) from every client, each on its own connection, and hands each frame,
// with the connection it came on, to its owner, whose answers go back on
// that connection.
//
// One thread polls the listening socket and every connection and never
// waits on anything else, so a client that never sends, sends garbage or a
// frame without end costs one connection, never the other clients' service:
// a frame longer than the limit closes its connection, and beyond the most
// connections a new one is closed at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "base/runtime.h"

namespace mew {

struct TcpServerLimits {
    std::size_t max_connections = 64;
    std::size_t max_frame = 64 * 1024;  // bytes before CR
    double send_timeout = 2.0;          // a client that does not read is dropped
};

class TcpServer {
public:
    using Limits = TcpServerLimits;

    // One client. Safe to use from any thread; sending on a connection that
    // has closed does nothing.
    class Connection {
    public:
        Connection(int fd, std::uint64_t id, std::string peer, double send_timeout);
        ~Connection();
        Connection(const Connection &) = delete;
        Connection &operator=(const Connection &) = delete;

        std::uint64_t id() const { return id_; }
        const std::string &peer() const { return peer_; }
        bool open() const { return open_.load(); }
        void send(std::string_view frame);
        void close();

    private:
        friend class TcpServer;
        int fd_;
        const std::uint64_t id_;
        const std::string peer_;
        const double send_timeout_;
        std::atomic<bool> open_{true};
        std::mutex write_mutex_;
        std::string pending_;  // bytes read that end in no CR yet (server thread only)
    };
    using ConnectionPtr = std::shared_ptr<Connection>;
    // Called on the server's thread: must not wait.
    using FrameHandler = std::function<void(const ConnectionPtr &, std::string frame)>;
    using CloseHandler = std::function<void(const ConnectionPtr &)>;

    // Binds and listens at once: IOError "cannot listen on HOST:PORT: ..."
    // when the address cannot be had. Port 0 takes a free one.
    TcpServer(const std::string &host, int port, FrameHandler on_frame, CloseHandler on_close = {},
              Limits limits = Limits());
    ~TcpServer();
    TcpServer(const TcpServer &) = delete;
    TcpServer &operator=(const TcpServer &) = delete;

    // The port it listens on.
    int port() const { return port_; }
    std::size_t connections() const;
    void start();
    // Stops the thread and closes every connection and the listening socket.
    void stop();

private:
    runtime::ProcessOwner owner_;
    FrameHandler on_frame_;
    CloseHandler on_close_;
    const Limits limits_;
    int listen_fd_ = -1;
    int port_ = 0;
    int wake_[2] = {-1, -1};
    std::atomic<bool> running_{false};
    std::unique_ptr<runtime::WorkerThread> thread_;
    mutable std::mutex mutex_;
    std::map<int, ConnectionPtr> connections_;
    std::uint64_t next_id_ = 1;

    void serve();
    void accept_one();
    // Reads what a connection has; false when it is to be dropped.
    bool read_from(const ConnectionPtr &c);
    void drop(const ConnectionPtr &c);
};

}  // namespace mew
