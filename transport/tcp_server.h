// A TCP server carrying frames, for stations that serve clients over
// Ethernet: it accepts connections and reads frames (up to and including
// CR) from every client, each on its own connection, and hands each frame,
// with the connection it came on, to its owner, whose answers go back on
// that connection.
//
// One thread polls the listening socket and every connection and never
// waits on anything else, so a client that never sends, sends garbage, a
// frame without end or stops reading its answers costs its own service,
// never the other clients': answers that a client does not take wait in
// its connection (written by this thread as the client reads), and a
// client with answers waiting or with `max_pipelined` commands unanswered
// is not read from until that clears, so the commands behind wait in its
// own connection. A frame longer than the limit closes its connection, a
// client whose answers make no progress for `send_timeout` seconds is
// dropped, and beyond `max_connections` a new connection is accepted and
// reset at once; each is logged as a warning.
#pragma once

#include <atomic>
#include <chrono>
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
    static constexpr std::size_t kDefaultMaxConnections = 64;
    static constexpr std::size_t kDefaultMaxPipelined = 16;
    std::size_t max_connections = kDefaultMaxConnections;
    std::size_t max_pipelined = kDefaultMaxPipelined;  // commands of a client handed on, not yet answered
    std::size_t max_frame = 64 * 1024;                 // bytes before CR
    double send_timeout = 2.0;                         // a client whose answers do not move is dropped
};

class TcpServer {
public:
    using Limits = TcpServerLimits;

    // One client. Safe to use from any thread; sending on a connection that
    // has closed does nothing.
    class Connection {
    public:
        Connection(TcpServer &server, int fd, std::uint64_t id, std::string peer);
        ~Connection();
        Connection(const Connection &) = delete;
        Connection &operator=(const Connection &) = delete;

        std::uint64_t id() const { return id_; }
        const std::string &peer() const { return peer_; }
        bool open() const { return open_.load(); }
        // Ends one frame handed on: `answer` (may be empty) goes back to the
        // client, without waiting for it to read.
        void complete(std::string_view answer);
        void send(std::string_view frame);
        void close();

    private:
        friend class TcpServer;
        using Clock = std::chrono::steady_clock;
        TcpServer &server_;
        int fd_;
        const std::uint64_t id_;
        const std::string peer_;
        std::atomic<bool> open_{true};
        std::mutex mutex_;
        std::string out_;                   // answers the client has not taken yet
        Clock::time_point moved_{};         // when out_ last got shorter, or began
        bool broken_ = false;               // a write failed: the server drops it
        std::size_t in_flight_ = 0;         // frames handed on, not completed
        bool paused_ = false;               // the server waits for room to read on
        bool pipeline_full_noted_ = false;  // logged once per client (server thread only)
        std::string pending_;               // bytes read that end in no CR yet (server thread only)

        // Writes what out_ holds as far as the client takes it; the caller
        // holds mutex_.
        void flush_locked();
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
    const Limits &limits() const { return limits_; }
    std::size_t connections() const;
    // Serves; nothing once stopped.
    void start();
    // Stops the thread, closes every connection and releases the port at
    // once: a client connecting later is refused.
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
    std::atomic<bool> stopped_{false};
    std::unique_ptr<runtime::WorkerThread> thread_;
    mutable std::mutex mutex_;
    std::map<int, ConnectionPtr> connections_;
    std::uint64_t next_id_ = 1;

    void wake();
    void serve();
    void accept_all();
    // Reads what a connection has; false when it is to be dropped.
    bool read_from(const ConnectionPtr &c);
    // Hands on the whole frames read, as far as the client may have
    // commands unanswered; false when it is to be dropped.
    bool deliver(const ConnectionPtr &c);
    void drop(const ConnectionPtr &c, const char *why = nullptr);
    void close_listener();
};

}  // namespace mew
