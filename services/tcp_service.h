// A station's service to clients over TCP: every frame a client sends is
// answered by a responder, one frame at a time in the order they came, and
// the answer goes back on the connection that asked. Each connection has a
// transfer of its own, so a client's long answer is cut into frames for it
// alone.
//
// A frame the responder answers with the library's own code alone (the
// service's `native` test says which) is answered on the server's thread
// as it is read, when nothing is queued before it: one thread per command.
// Every other frame is queued and answered on a worker thread, so a slow
// responder (a Python handler, a device behind a gateway) delays the queue,
// never the accepting of clients or the reading of their frames. A client
// may have a few commands waiting (the server's `max_pipelined`), answered
// in order; the next wait in its own connection.
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
    // Whether the responder answers `frame` with the library's own code
    // alone, quickly and without waiting on anything: then the server's
    // thread may answer it. None: every frame goes to the worker.
    using Native = std::function<bool(const std::string &frame)>;

    TcpService(const std::string &host, int port, Responder responder,
               MakeThread make_thread = &runtime::make_std_thread, TcpServer::Limits limits = {},
               Native native = {});
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
    Native native_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Job> jobs_;
    std::map<std::uint64_t, Client> clients_;
    bool working_ = false;  // the worker has a frame in hand, not yet completed
    bool stopping_ = false;
    std::atomic<bool> running_{false};
    std::unique_ptr<runtime::WorkerThread> worker_;
    TcpServer server_;  // last: its thread calls into the members above

    void queue(const TcpServer::ConnectionPtr &client, std::string frame);
    // Answers on the server's thread when the frame may be and nothing is
    // queued before it; false otherwise.
    bool answer_here(const TcpServer::ConnectionPtr &client, const std::string &frame);
    // The responder's answer to one frame; empty after an error, reported.
    std::string respond(const std::string &frame, Transfer &transfer);
    void forget(const TcpServer::ConnectionPtr &client);
    void work();
};

}  // namespace mew
