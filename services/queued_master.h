// A master's operations queued for one worker of their own, for callers
// that must not wait (an event loop): each call is checked at once, then
// run in its turn on the master, and completes through a CompletionSink.
//
// The check runs the operation on a master of the same line format that
// sends nothing and answers every command itself, with zeros: whatever the
// master refuses before its first frame (a count below one, a word beyond
// 16 bits, an unknown area, NaN) is refused there, in the caller's thread,
// and nothing is queued. (An answer costs a fraction of what an exception
// thrown to stop the operation at its first frame would.)
//
// A call that is cancelled while queued is never sent. One that runs when
// it is cancelled goes on to its answer or its time-out: the master's own
// guard then keeps a late answer from being taken by the next call.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "codec/plc_commands.h"
#include "master/mew_master.h"
#include "services/command_queue.h"

namespace mew {

class QueuedMaster {
public:
    // What an operation returns: nothing, a contact, a value, a float, a
    // response's text, words, floats, contacts, or a controller's status.
    using Value = std::variant<std::monostate, bool, std::int64_t, double, std::string, MewMaster::Words,
                               std::vector<double>, std::vector<bool>, frames::PlcStatus>;
    // Called once on the checking master and once on the real one.
    using Operation = std::function<Value(MewMaster &master)>;

    class Call : public Command {
    public:
        Call(Operation operation, MewMaster &master) : operation_(std::move(operation)), master_(master) {}
        // Valid once the call completed without an error.
        const Value &value() const { return value_; }

    protected:
        void run() override { value_ = operation_(master_); }

    private:
        Operation operation_;
        MewMaster &master_;
        Value value_;
    };

    // `master` must outlive this object. `name` begins the messages of the
    // errors of a closed queue ("AsyncMewMaster: closed").
    QueuedMaster(MewMaster &master, std::string name, const CommandQueue::Spawn &spawn = {});
    ~QueuedMaster();
    QueuedMaster(const QueuedMaster &) = delete;
    QueuedMaster &operator=(const QueuedMaster &) = delete;

    // Checks the operation (throwing what the master refuses, with nothing
    // queued), then queues it. IOError when closed. `key`, when not empty,
    // names the operation and all its arguments ("get_uint16 1 DT100"): an
    // operation of a key that passed its check lately, with the master's
    // format unchanged, is queued without checking it again.
    std::shared_ptr<Call> submit(Operation operation, std::shared_ptr<CompletionSink> sink,
                                 std::string_view key = {});
    // See CommandQueue::cancel.
    bool cancel(std::uint64_t ticket) { return queue_.cancel(ticket); }
    // Fails the queued calls with an IOError, closes the master, which ends
    // the call under way, and waits for the worker. Idempotent.
    void close();
    bool closed() const { return queue_.closed(); }
    std::size_t pending() const { return queue_.pending(); }
    std::uint64_t completed() const { return queue_.completed(); }
    MewMaster &master() const { return master_; }

private:
    // A master that sends nothing: it answers each command itself.
    class Checker : public MewMaster {
    public:
        Checker();
        // An answer of zeros, read as a device's would be.
        std::string query(std::string_view command) override;
        bool queried = false;
    };

    void check(const Operation &operation, std::string_view key);
    bool passed(std::string_view key, const frames::LineFormat &format) const;

    // Keys that passed, most recent first, for the format they passed with.
    static constexpr std::size_t kPassedKeys = 16;
    std::vector<std::string> passed_;
    frames::LineFormat passed_format_;

    MewMaster &master_;
    const std::string name_;
    std::mutex check_mutex_;  // a leaf: a check never waits for anything
    Checker checker_;
    CommandQueue queue_;
};

}  // namespace mew
