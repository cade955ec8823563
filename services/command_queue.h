// Commands served in order by one worker thread of their own, and the sink
// through which each finished command reaches the side that waits for it
// (an event loop), which a byte on a pipe wakes.
//
// Every command given to a queue completes exactly once through its sink:
// after it ran (its error set when it threw), when the queue closed before
// it ran (the queue's error set), or when it was cancelled while still
// queued (cancelled(), never run). Nothing here knows Python.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "base/runtime.h"

namespace mew {

class CompletionSink;

class Command {
public:
    virtual ~Command() = default;
    // Its number in its queue, from 1, in the order of submission; 0 before.
    std::uint64_t ticket() const { return ticket_; }
    // What run() threw, or the queue's error when it closed first; null
    // when the command ran through. Read it once the sink gave it back.
    const std::exception_ptr &error() const { return error_; }
    // Taken out of the queue before it ran: it never will.
    bool cancelled() const { return cancelled_; }

protected:
    // Runs on the worker, with no lock of the queue held.
    virtual void run() = 0;

private:
    friend class CommandQueue;
    std::uint64_t ticket_ = 0;
    std::exception_ptr error_;
    bool cancelled_ = false;
    std::shared_ptr<CompletionSink> sink_;  // until the command completes
};

// Finished commands, waiting to be taken, and a descriptor that is readable
// while any wait: a waiting side watches fileno() and calls take() when it
// is readable. Posting never blocks.
class CompletionSink {
public:
    // IOError when no pipe can be had.
    CompletionSink();
    ~CompletionSink();
    CompletionSink(const CompletionSink &) = delete;
    CompletionSink &operator=(const CompletionSink &) = delete;

    int fileno() const { return read_fd_; }
    void post(std::shared_ptr<Command> command);
    // Makes the descriptor readable with nothing posted, so that the waiting
    // side looks again (when the queue closes, say).
    void wake();
    // Every command posted so far, oldest first. The descriptor is emptied
    // first, so a command posted meanwhile makes it readable again.
    std::vector<std::shared_ptr<Command>> take();

private:
    void signal();

    runtime::ProcessOwner owner_;
    std::mutex mutex_;  // a leaf: held only to push or swap
    std::vector<std::shared_ptr<Command>> done_;
    int read_fd_ = -1;
    int write_fd_ = -1;
};

class CommandQueue {
public:
    using Spawn = std::function<std::unique_ptr<runtime::WorkerThread>(std::function<void()> body)>;

    // Starts the worker at once, on a thread made by `spawn` (a plain C++
    // thread when empty).
    explicit CommandQueue(const Spawn &spawn = {});
    // close() with an IOError, if it was not closed before.
    ~CommandQueue();
    CommandQueue(const CommandQueue &) = delete;
    CommandQueue &operator=(const CommandQueue &) = delete;

    // Queues the command behind every one before it; it completes through
    // `sink`. Its ticket; `closed_error` (an IOError) when the queue is closed.
    std::uint64_t submit(std::shared_ptr<Command> command, std::shared_ptr<CompletionSink> sink);
    // Takes the command out of the queue when it has not started yet: true,
    // and it completes at once as cancelled. False when it runs or ran.
    bool cancel(std::uint64_t ticket);
    // Refuses further commands, fails every queued one with `error`, lets
    // `interrupt` cut short the one that runs (called once, by the first
    // close, whether one runs or not), and waits for the worker's end.
    // What the interrupt throws is thrown once the worker has ended. In a
    // process forked from the queue's own there is no worker: it only
    // refuses and fails.
    void close(std::exception_ptr error, const std::function<void()> &interrupt = {});
    bool closed() const;
    // Commands waiting, not counting the one that runs.
    std::size_t pending() const;
    // Commands the worker has finished running.
    std::uint64_t completed() const;

    // What submit() throws once the queue is closed.
    void set_closed_error(std::exception_ptr error);

private:
    void worker_loop();
    static void finish(std::shared_ptr<Command> command);

    runtime::ProcessOwner owner_;
    mutable std::mutex mutex_;  // a leaf: never held while a command runs
    std::condition_variable arrived_;
    std::map<std::uint64_t, std::shared_ptr<Command>> queued_;  // by ticket: oldest first
    std::uint64_t next_ticket_ = 1;
    std::uint64_t completed_ = 0;
    bool closed_ = false;
    std::exception_ptr closed_error_;
    std::unique_ptr<runtime::WorkerThread> worker_;
};

}  // namespace mew
