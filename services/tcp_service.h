// A station's service to clients over TCP: every frame a client sends is
// answered by a responder, one frame at a time in the order they came, and
// the answer goes back on the connection that asked. Each connection has a
// transfer of its own, so a client's long answer is cut into frames for it
// alone.
//
// The server's thread only reads and queues; the answering runs on a worker
// thread, so a slow responder (a Python handler, a device behind a gateway)
// delays the queue, never the accepting of clients or the reading of their
// frames. A client may have a few commands waiting (the server's
// `max_pipelined`), answered in order; the next wait in its own connection.
// A connection that closes takes its commands still queued with it: they
// never reach the responder, and an answer under way is dropped.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "base/runtime.h"
#include "link/mew_slave_base.h"
#include "transport/tcp_server.h"

namespace mew {

class TcpService {
public:
    using Transfer = MewSlaveBase::Transfer;
    // The answer to `frame` from a client whose unasked frames are in
    // `transfer`; empty for no answer.
    using Responder = std::function<std::string(const std::string &frame, Transfer &transfer)>;
    // Makes the worker thread; a host may run it on a thread of its own.
    using MakeThread = std::function<std::unique_ptr<runtime::WorkerThread>(std::function<void()> body)>;

    TcpService(const std::string &host, int port, Responder responder,
               MakeThread make_thread = &runtime::make_std_thread, TcpServer::Limits limits = {});
    ~TcpService();
    TcpService(const TcpService &) = delete;
    TcpService &operator=(const TcpService &) = delete;

    int port() const { return server_.port(); }
    std::size_t connections() const { return server_.connections(); }
    void start();
    void stop();

private:
    struct Job {
        TcpServer::ConnectionPtr client;
        std::string frame;
    };
    struct Client {
        Transfer transfer;
    };

    Responder responder_;
    MakeThread make_thread_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Job> jobs_;
    std::map<std::uint64_t, Client> clients_;
    bool stopping_ = false;
    std::atomic<bool> running_{false};
    std::unique_ptr<runtime::WorkerThread> worker_;
    TcpServer server_;  // last: its thread calls into the members above

    void queue(const TcpServer::ConnectionPtr &client, std::string frame);
    void forget(const TcpServer::ConnectionPtr &client);
    void work();
};

}  // namespace mew
