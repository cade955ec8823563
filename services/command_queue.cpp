#include "services/command_queue.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "base/errors.h"

namespace mew {

namespace {

void set_flags(int fd) {
    const int status = ::fcntl(fd, F_GETFL);
    const int descriptor = ::fcntl(fd, F_GETFD);
    if (status < 0 || descriptor < 0 || ::fcntl(fd, F_SETFL, status | O_NONBLOCK) < 0 ||
        ::fcntl(fd, F_SETFD, descriptor | FD_CLOEXEC) < 0)
        throw IOError(std::string("CompletionSink: cannot set up the wake-up pipe: ") + std::strerror(errno));
}

}  // namespace

CompletionSink::CompletionSink() {
    int fds[2];
    if (::pipe(fds) != 0)
        throw IOError(std::string("CompletionSink: cannot make a wake-up pipe: ") + std::strerror(errno));
    read_fd_ = fds[0];
    write_fd_ = fds[1];
    try {
        set_flags(read_fd_);
        set_flags(write_fd_);
    } catch (...) {
        ::close(read_fd_);
        ::close(write_fd_);
        throw;
    }
}

CompletionSink::~CompletionSink() {
    // A forked child closes only its own copies: the parent's stay open.
    ::close(read_fd_);
    ::close(write_fd_);
}

void CompletionSink::signal() {
    // In a forked child the pipe is shared with the parent, whose loop it
    // would wake for nothing.
    if (owner_.foreign()) return;
    const char byte = 1;
    // A full pipe is readable already; nothing else can go wrong that a
    // retry would mend.
    while (::write(write_fd_, &byte, 1) < 0 && errno == EINTR) {
    }
}

void CompletionSink::post(std::shared_ptr<Command> command) {
    bool first;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        first = done_.empty();
        done_.push_back(std::move(command));
    }
    // Only the first of a batch writes: the reader takes the whole list.
    if (first) signal();
}

void CompletionSink::wake() {
    signal();
}

std::vector<std::shared_ptr<Command>> CompletionSink::take() {
    char bytes[64];
    for (;;) {
        const ssize_t n = ::read(read_fd_, bytes, sizeof bytes);
        // Less than asked for: the pipe is empty now, without a read to learn it.
        if (n > 0 && static_cast<std::size_t>(n) == sizeof bytes) continue;
        if (n < 0 && errno == EINTR) continue;
        break;  // emptied, or nothing more to read (EAGAIN)
    }
    std::vector<std::shared_ptr<Command>> done;
    std::lock_guard<std::mutex> lock(mutex_);
    done.swap(done_);
    return done;
}

CommandQueue::CommandQueue(const Spawn &spawn) {
    auto body = [this] { worker_loop(); };
    worker_ = spawn ? spawn(body) : runtime::make_std_thread(body);
    worker_->start();
}

CommandQueue::~CommandQueue() {
    try {
        close(std::make_exception_ptr(IOError("CommandQueue: closed before the command ran")));
    } catch (...) {
    }
}

void CommandQueue::set_closed_error(std::exception_ptr error) {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_error_ = std::move(error);
}

std::uint64_t CommandQueue::submit(std::shared_ptr<Command> command, std::shared_ptr<CompletionSink> sink) {
    if (owner_.foreign())
        throw IOError("CommandQueue: belongs to the process that made it; make a new one after fork()");
    std::uint64_t ticket;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) {
            if (closed_error_) std::rethrow_exception(closed_error_);
            throw IOError("CommandQueue: closed");
        }
        ticket = next_ticket_++;
        command->ticket_ = ticket;
        command->sink_ = std::move(sink);
        queued_.emplace(ticket, std::move(command));
    }
    arrived_.notify_one();
    return ticket;
}

bool CommandQueue::cancel(std::uint64_t ticket) {
    std::shared_ptr<Command> command;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = queued_.find(ticket);
        if (it == queued_.end()) return false;
        command = std::move(it->second);
        queued_.erase(it);
    }
    command->cancelled_ = true;
    finish(std::move(command));
    return true;
}

void CommandQueue::close(std::exception_ptr error, const std::function<void()> &interrupt) {
    std::map<std::uint64_t, std::shared_ptr<Command>> failed;
    bool first;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        first = !closed_;
        closed_ = true;
        failed.swap(queued_);
    }
    arrived_.notify_all();
    for (auto &entry : failed) {
        entry.second->error_ = error;
        finish(std::move(entry.second));
    }
    if (owner_.foreign()) return;
    // Whatever the interrupt throws, the worker is waited for first.
    std::exception_ptr failed_interrupt;
    if (first && interrupt) {
        try {
            interrupt();
        } catch (...) {
            failed_interrupt = std::current_exception();
        }
    }
    if (worker_) worker_->join();
    if (failed_interrupt) std::rethrow_exception(failed_interrupt);
}

bool CommandQueue::closed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
}

std::size_t CommandQueue::pending() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queued_.size();
}

std::uint64_t CommandQueue::completed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return completed_;
}

void CommandQueue::finish(std::shared_ptr<Command> command) {
    // The sink must not hold the command that holds it.
    std::shared_ptr<CompletionSink> sink = std::move(command->sink_);
    if (sink) sink->post(std::move(command));
}

void CommandQueue::worker_loop() {
    // Nothing may leave this function: an exception ending a thread ends the
    // whole process.
    try {
        for (;;) {
            std::shared_ptr<Command> command;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                arrived_.wait(lock, [this] { return closed_ || !queued_.empty(); });
                // close() took whatever was queued.
                if (closed_) return;
                auto oldest = queued_.begin();
                command = std::move(oldest->second);
                queued_.erase(oldest);
            }
            try {
                command->run();
            } catch (...) {
                command->error_ = std::current_exception();
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                ++completed_;
            }
            finish(std::move(command));
        }
    } catch (...) {
        // Whatever is queued would wait for ever: it fails instead, and so
        // does every later submit.
        runtime::print_line("CommandQueue: worker ended by an unexpected error");
        try {
            std::map<std::uint64_t, std::shared_ptr<Command>> failed;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                closed_ = true;
                failed.swap(queued_);
            }
            auto error = std::make_exception_ptr(IOError("CommandQueue: the worker ended"));
            for (auto &entry : failed) {
                entry.second->error_ = error;
                finish(std::move(entry.second));
            }
        } catch (...) {
        }
    }
}

}  // namespace mew
