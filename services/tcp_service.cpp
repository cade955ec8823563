#include "services/tcp_service.h"

#include <algorithm>

#include "station/station_worker.h"

namespace mew {

TcpService::TcpService(const std::string &host, int port, Responder responder, MakeThread make_thread,
                       TcpServer::Limits limits, Native native)
    : responder_(std::move(responder)),
      make_thread_(std::move(make_thread)),
      native_(std::move(native)),
      server_(
          host, port,
          [this](const TcpServer::ConnectionPtr &c, std::string frame) { queue(c, std::move(frame)); },
          [this](const TcpServer::ConnectionPtr &c) { forget(c); }, limits) {}

TcpService::~TcpService() {
    try {
        stop();
    } catch (...) {
    }
}

void TcpService::start() {
    if (running_.exchange(true)) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = false;
    }
    // Made outside the lock: a host's thread may need the host's own lock.
    std::unique_ptr<runtime::WorkerThread> worker = make_thread_([this] { work(); });
    worker->start();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        worker_ = std::move(worker);
    }
    server_.start();
}

void TcpService::stop() {
    if (!running_.exchange(false)) return;
    server_.stop();
    std::unique_ptr<runtime::WorkerThread> worker;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        worker.swap(worker_);
    }
    cv_.notify_all();
    if (worker) worker->join();
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.clear();
    clients_.clear();
}

void TcpService::queue(const TcpServer::ConnectionPtr &client, std::string frame) {
    if (answer_here(client, frame)) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        clients_.try_emplace(client->id());
        jobs_.push_back({client, std::move(frame)});
    }
    cv_.notify_one();
}

void TcpService::forget(const TcpServer::ConnectionPtr &client) {
    std::lock_guard<std::mutex> lock(mutex_);
    clients_.erase(client->id());
    // Its commands are nobody's now: none goes on the line.
    jobs_.erase(std::remove_if(jobs_.begin(), jobs_.end(),
                               [&client](const Job &job) { return job.client == client; }),
                jobs_.end());
}

bool TcpService::answer_here(const TcpServer::ConnectionPtr &client, const std::string &frame) {
    if (!native_) return false;
    try {
        if (!native_(frame)) return false;
    } catch (...) {
        return false;  // the worker's answer reports it
    }
    Transfer transfer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // The client's earlier commands, and everyone's, are answered first.
        if (stopping_ || working_ || !jobs_.empty()) return false;
        transfer.swap(clients_[client->id()].transfer);
    }
    const std::string answer = respond(frame, transfer);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = clients_.find(client->id());
        if (it != clients_.end()) it->second.transfer.swap(transfer);
    }
    client->complete(answer);
    return true;
}

std::string TcpService::respond(const std::string &frame, Transfer &transfer) {
    runtime::trace(runtime::TraceEvent::kReceived, nullptr, frame);
    std::string answer;
    try {
        answer = responder_(frame, transfer);
    } catch (...) {
        report_unhandled(std::current_exception());
    }
    if (!answer.empty()) runtime::trace(runtime::TraceEvent::kSent, nullptr, answer);
    return answer;
}

void TcpService::work() {
    // Nothing may leave the thread.
    try {
        for (;;) {
            Job job;
            Transfer transfer;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                working_ = false;
                runtime::wait_seconds(
                    cv_, lock, -1, [this] { return stopping_ || !jobs_.empty(); }, false);
                if (stopping_) return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
                auto it = clients_.find(job.client->id());
                if (it == clients_.end() || !job.client->open()) continue;  // gone meanwhile
                transfer.swap(it->second.transfer);
                working_ = true;
            }
            const std::string answer = respond(job.frame, transfer);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                auto it = clients_.find(job.client->id());
                if (it != clients_.end()) it->second.transfer.swap(transfer);
            }
            // Its next command waits until this answer is out (working_).
            job.client->complete(answer);
        }
    } catch (...) {
        report_unhandled(std::current_exception());
    }
}

}  // namespace mew
