#include "services/tcp_service.h"

#include <algorithm>

#include "station/station_worker.h"

namespace mew {

TcpService::TcpService(const std::string &host, int port, Responder responder, MakeThread make_thread,
                       TcpServer::Limits limits)
    : responder_(std::move(responder)),
      make_thread_(std::move(make_thread)),
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

void TcpService::work() {
    // Nothing may leave the thread.
    try {
        for (;;) {
            Job job;
            Transfer transfer;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                runtime::wait_seconds(
                    cv_, lock, -1, [this] { return stopping_ || !jobs_.empty(); }, false);
                if (stopping_) return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
                auto it = clients_.find(job.client->id());
                if (it == clients_.end() || !job.client->open()) continue;  // gone meanwhile
                transfer.swap(it->second.transfer);
            }
            runtime::trace(runtime::TraceEvent::kReceived, nullptr, job.frame);
            std::string answer;
            try {
                answer = responder_(job.frame, transfer);
            } catch (...) {
                report_unhandled(std::current_exception());
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                auto it = clients_.find(job.client->id());
                if (it != clients_.end()) it->second.transfer.swap(transfer);
            }
            if (!answer.empty()) runtime::trace(runtime::TraceEvent::kSent, nullptr, answer);
            job.client->complete(answer);
        }
    } catch (...) {
        report_unhandled(std::current_exception());
    }
}

}  // namespace mew
