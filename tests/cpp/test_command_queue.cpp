// The command queue in plain C++: order, cancellation, close and the wake-up
// of the completion sink; and a master's operations queued against a device
// on an in-process line, with refusals, a late answer and a close.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "base/errors.h"
#include "base/runtime.h"
#include "codec/mew_static.h"
#include "master/mew_master.h"
#include "services/command_queue.h"
#include "services/queued_master.h"
#include "transport/fd_channel.h"

namespace {

using Clock = std::chrono::steady_clock;
using CommandPtr = std::shared_ptr<mew::Command>;

bool eventually(const std::function<bool()> &condition, double seconds = 10) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool readable(int fd, int milliseconds) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, milliseconds) == 1;
}

// Takes completions from the sink as an event loop would, waking only when
// its descriptor is readable, until `count` came or ten seconds passed.
std::vector<CommandPtr> collect(mew::CompletionSink &sink, std::size_t count) {
    std::vector<CommandPtr> got;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (got.size() < count && Clock::now() < deadline) {
        if (!readable(sink.fileno(), 100)) continue;
        for (auto &command : sink.take()) got.push_back(std::move(command));
    }
    return got;
}

std::string message_of(const std::exception_ptr &error) {
    if (!error) return "";
    try {
        std::rethrow_exception(error);
    } catch (const std::exception &e) {
        return e.what();
    }
}

// Holds whoever waits on it until it is opened.
class Gate {
public:
    void pass() {
        std::unique_lock<std::mutex> lock(mutex_);
        entered_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return open_; });
    }
    void open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    bool wait_entered() {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [this] { return entered_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool entered_ = false;
    bool open_ = false;
};

// Every run recorded, in the order the worker made them.
struct Log {
    std::mutex mutex;
    std::vector<int> runs;
    void add(int id) {
        std::lock_guard<std::mutex> lock(mutex);
        runs.push_back(id);
    }
    std::vector<int> get() {
        std::lock_guard<std::mutex> lock(mutex);
        return runs;
    }
};

class Step : public mew::Command {
public:
    Step(Log &log, int id, Gate *gate = nullptr, bool fail = false)
        : log_(log), id_(id), gate_(gate), fail_(fail) {}
    int id() const { return id_; }

protected:
    void run() override {
        log_.add(id_);
        if (gate_) gate_->pass();
        if (fail_) throw mew::IOError("step " + std::to_string(id_) + " failed");
    }

private:
    Log &log_;
    int id_;
    Gate *gate_;
    bool fail_;
};

int id_of(const CommandPtr &command) {
    return static_cast<const Step &>(*command).id();
}

// --- The queue --------------------------------------------------------------------------

TEST(CommandQueue, RunsInOrderAndCompletesEachOnceThroughItsSink) {
    Log log;
    auto sink = std::make_shared<mew::CompletionSink>();
    mew::CommandQueue queue;
    std::vector<std::uint64_t> tickets;
    for (int i = 0; i < 200; ++i) tickets.push_back(queue.submit(std::make_shared<Step>(log, i), sink));
    for (std::size_t i = 1; i < tickets.size(); ++i) EXPECT_EQ(tickets[i], tickets[i - 1] + 1);

    std::vector<CommandPtr> done = collect(*sink, 200);
    ASSERT_EQ(done.size(), 200u);
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(id_of(done[i]), i);
        EXPECT_EQ(done[i]->ticket(), tickets[i]);
        EXPECT_FALSE(done[i]->error());
        EXPECT_FALSE(done[i]->cancelled());
    }
    std::vector<int> expected(200);
    for (int i = 0; i < 200; ++i) expected[i] = i;
    EXPECT_EQ(log.get(), expected);
    EXPECT_EQ(queue.completed(), 200u);
    // Everything was taken: nothing more wakes the sink, nothing completes twice.
    EXPECT_FALSE(readable(sink->fileno(), 50));
    EXPECT_TRUE(sink->take().empty());
}

TEST(CommandQueue, ProducersOnManyThreadsKeepTheirOwnOrder) {
    constexpr int kProducers = 4, kEach = 250;
    Log log;
    std::vector<std::shared_ptr<mew::CompletionSink>> sinks;
    for (int p = 0; p < kProducers; ++p) sinks.push_back(std::make_shared<mew::CompletionSink>());
    mew::CommandQueue queue;
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p)
        producers.emplace_back([&, p] {
            for (int i = 0; i < kEach; ++i)
                queue.submit(std::make_shared<Step>(log, p * kEach + i), sinks[p]);
        });
    for (auto &t : producers) t.join();
    for (int p = 0; p < kProducers; ++p) {
        std::vector<CommandPtr> done = collect(*sinks[p], kEach);
        ASSERT_EQ(done.size(), static_cast<std::size_t>(kEach));
        for (int i = 0; i < kEach; ++i) EXPECT_EQ(id_of(done[i]), p * kEach + i);
    }
    std::vector<int> last(kProducers, -1);
    for (int id : log.get()) {
        EXPECT_GT(id, last[id / kEach]);
        last[id / kEach] = id;
    }
}

TEST(CommandQueue, CancelTakesOutOnlyWhatHasNotStarted) {
    Log log;
    Gate gate;
    auto sink = std::make_shared<mew::CompletionSink>();
    mew::CommandQueue queue;
    const auto running = queue.submit(std::make_shared<Step>(log, 0, &gate), sink);
    const auto withdrawn = queue.submit(std::make_shared<Step>(log, 1), sink);
    queue.submit(std::make_shared<Step>(log, 2), sink);
    ASSERT_TRUE(gate.wait_entered());
    EXPECT_EQ(queue.pending(), 2u);

    EXPECT_TRUE(queue.cancel(withdrawn));
    EXPECT_FALSE(queue.cancel(withdrawn));  // once
    EXPECT_FALSE(queue.cancel(running));    // it runs: it goes on
    EXPECT_FALSE(queue.cancel(12345));
    // The withdrawn command completes at once, the others are held.
    std::vector<CommandPtr> first = collect(*sink, 1);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(id_of(first[0]), 1);
    EXPECT_TRUE(first[0]->cancelled());

    gate.open();
    std::vector<CommandPtr> rest = collect(*sink, 2);
    ASSERT_EQ(rest.size(), 2u);
    EXPECT_EQ(id_of(rest[0]), 0);
    EXPECT_EQ(id_of(rest[1]), 2);
    EXPECT_FALSE(rest[0]->cancelled());
    EXPECT_EQ(log.get(), (std::vector<int>{0, 2}));  // 1 never ran
}

TEST(CommandQueue, AnErrorIsKeptWithItsCommandAndTheWorkerGoesOn) {
    Log log;
    auto sink = std::make_shared<mew::CompletionSink>();
    mew::CommandQueue queue;
    queue.submit(std::make_shared<Step>(log, 0, nullptr, true), sink);
    queue.submit(std::make_shared<Step>(log, 1), sink);
    std::vector<CommandPtr> done = collect(*sink, 2);
    ASSERT_EQ(done.size(), 2u);
    EXPECT_EQ(message_of(done[0]->error()), "step 0 failed");
    EXPECT_FALSE(done[1]->error());
}

TEST(CommandQueue, CloseFailsTheQueuedInterruptsTheRunningAndRefusesMore) {
    Log log;
    Gate gate;
    auto sink = std::make_shared<mew::CompletionSink>();
    mew::CommandQueue queue;
    queue.set_closed_error(std::make_exception_ptr(mew::IOError("test: closed")));
    queue.submit(std::make_shared<Step>(log, 0, &gate), sink);
    queue.submit(std::make_shared<Step>(log, 1), sink);
    queue.submit(std::make_shared<Step>(log, 2), sink);
    ASSERT_TRUE(gate.wait_entered());

    int interrupts = 0;
    // close() returns only once the running command has ended: the
    // interrupt is what ends it.
    queue.close(std::make_exception_ptr(mew::IOError("test: not sent")), [&] {
        ++interrupts;
        gate.open();
    });
    EXPECT_EQ(interrupts, 1);
    EXPECT_TRUE(queue.closed());
    std::vector<CommandPtr> done = collect(*sink, 3);
    ASSERT_EQ(done.size(), 3u);
    // The queued ones first: they failed before the worker finished.
    EXPECT_EQ(id_of(done[0]), 1);
    EXPECT_EQ(id_of(done[1]), 2);
    EXPECT_EQ(message_of(done[0]->error()), "test: not sent");
    EXPECT_EQ(message_of(done[1]->error()), "test: not sent");
    EXPECT_EQ(id_of(done[2]), 0);
    EXPECT_FALSE(done[2]->error());
    EXPECT_EQ(log.get(), (std::vector<int>{0}));

    queue.close(nullptr, [&] { ++interrupts; });
    EXPECT_EQ(interrupts, 1);
    try {
        queue.submit(std::make_shared<Step>(log, 3), sink);
        FAIL() << "a closed queue took a command";
    } catch (const mew::IOError &e) {
        EXPECT_STREQ(e.what(), "test: closed");
    }
}

TEST(CommandQueue, AnInterruptThatThrowsStillFailsTheQueuedAndEndsTheWorker) {
    Log log;
    Gate gate;
    auto sink = std::make_shared<mew::CompletionSink>();
    mew::CommandQueue queue;
    queue.submit(std::make_shared<Step>(log, 0, &gate), sink);
    queue.submit(std::make_shared<Step>(log, 1), sink);
    ASSERT_TRUE(gate.wait_entered());
    EXPECT_THROW(queue.close(std::make_exception_ptr(mew::IOError("not sent")),
                             [&] {
                                 gate.open();
                                 throw std::runtime_error("the interrupt failed");
                             }),
                 std::runtime_error);
    // close() threw only after the worker had ended: both have completed.
    std::vector<CommandPtr> done = collect(*sink, 2);
    ASSERT_EQ(done.size(), 2u);
    EXPECT_EQ(message_of(done[0]->error()), "not sent");
    EXPECT_FALSE(done[1]->error());
    EXPECT_EQ(queue.completed(), 1u);
}

TEST(CompletionSink, WakeMakesItReadableWithNothingToTake) {
    mew::CompletionSink sink;
    EXPECT_FALSE(readable(sink.fileno(), 0));
    sink.wake();
    sink.wake();
    EXPECT_TRUE(readable(sink.fileno(), 1000));
    EXPECT_TRUE(sink.take().empty());
    EXPECT_FALSE(readable(sink.fileno(), 0));
}

// --- A master's operations, queued --------------------------------------------------------

std::string frame(std::string_view body) {
    return mew::MewStatic::append_tail(body);
}

// The value a device holds in register DT<n>.
std::int64_t word_at(std::int64_t n) {
    return (n * 40503 + 4660) & 0xFFFF;
}

// A device on one end of a socket pair: answers register reads ("RD") with
// word_at and writes with an acknowledgement; `before` runs ahead of each
// answer, to hold it back.
class Device {
public:
    using Before = std::function<void(const std::string &command)>;
    explicit Device(int fd) : channel_(std::make_shared<mew::FdChannel>(fd, 10.0)) {}
    ~Device() { stop(); }
    void start(Before before = {}) {
        thread_ = std::thread([this, before] {
            for (;;) {
                std::string command;
                try {
                    command = channel_->receive_frame();
                } catch (const mew::IOError &) {
                    return;
                }
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    received_.push_back(command);
                }
                if (before) before(command);
                try {
                    channel_->send_frame(answer(command));
                } catch (const mew::IOError &) {
                    return;
                }
            }
        });
    }
    void stop() {
        channel_->close();
        if (thread_.joinable()) thread_.join();
    }
    std::vector<std::string> received() {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }

private:
    static std::string answer(const std::string &command) {
        if (command.compare(4, 2, "RD") != 0) return frame("%01$" + command.substr(4, 2));
        const std::int64_t first = std::stoll(command.substr(7, 5)), last = std::stoll(command.substr(12, 5));
        std::string data;
        for (std::int64_t n = first; n <= last; ++n) {
            char word[5];
            std::snprintf(word, sizeof word, "%02X%02X", static_cast<int>(word_at(n) & 255),
                          static_cast<int>(word_at(n) >> 8));
            data += word;
        }
        return frame("%01$RD" + data);
    }

    std::shared_ptr<mew::FdChannel> channel_;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::string> received_;
};

std::mutex g_printed_mutex;
std::vector<std::string> g_printed;

void capture(const std::string &line) {
    std::lock_guard<std::mutex> lock(g_printed_mutex);
    g_printed.push_back(line);
}

class QueuedMasterTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0);
        {
            std::lock_guard<std::mutex> lock(g_printed_mutex);
            g_printed.clear();
        }
        mew::runtime::set_printer(&capture);
        device_ = std::make_unique<Device>(fds_[1]);
        master_ = std::make_unique<mew::MewMaster>(std::make_shared<mew::FdChannel>(fds_[0], 0.05), 0.5);
        master_->start();
    }
    void TearDown() override {
        held_.open();  // a test that failed early may have left the device held
        device_->stop();
        master_->close();
        mew::runtime::set_printer(nullptr);
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    static std::vector<std::string> printed() {
        std::lock_guard<std::mutex> lock(g_printed_mutex);
        return g_printed;
    }
    mew::QueuedMaster::Operation read(std::int64_t n) {
        return [n](mew::MewMaster &m) -> mew::QueuedMaster::Value {
            return m.get_uint16(1, "DT" + std::to_string(n));
        };
    }

    int fds_[2] = {-1, -1};
    Gate held_;
    std::unique_ptr<Device> device_;
    std::unique_ptr<mew::MewMaster> master_;
};

TEST_F(QueuedMasterTest, WhatTheMasterRefusesIsRefusedBeforeAnythingIsQueued) {
    device_->start();
    auto sink = std::make_shared<mew::CompletionSink>();
    mew::QueuedMaster queued(*master_, "test");
    using Value = mew::QueuedMaster::Value;
    EXPECT_THROW(
        queued.submit([](mew::MewMaster &m) -> Value { return m.get_multi_uint16(1, "DT0", 0); }, sink),
        mew::AssertionFailure);
    EXPECT_THROW(queued.submit(
                     [](mew::MewMaster &m) -> Value {
                         m.set_uint16(1, "DT0", 65536);
                         return {};
                     },
                     sink),
                 mew::ValueError);
    EXPECT_THROW(queued.submit(
                     [](mew::MewMaster &m) -> Value {
                         m.set_int16(1, "DT0", 40000);
                         return {};
                     },
                     sink),
                 mew::StructError);
    // With a frame limit the check sees the master's own format: a write
    // too long for one frame is not refused, it goes as several.
    master_->set_frame_limit(mew::frames::kShortFrameLimit);
    auto long_write = queued.submit(
        [](mew::MewMaster &m) -> Value {
            m.set_multi_uint16(1, "DT0", mew::MewMaster::Words(40, 7));
            return {};
        },
        sink);
    std::vector<CommandPtr> done = collect(*sink, 1);
    ASSERT_EQ(done.size(), 1u);
    EXPECT_FALSE(done[0]->error()) << message_of(done[0]->error());
    EXPECT_EQ(queued.completed(), 1u);
    EXPECT_GT(device_->received().size(), 1u);
    for (const auto &command : device_->received()) EXPECT_EQ(command.compare(4, 2, "WD"), 0) << command;
    // A key that passed passes again without a check, until the format
    // changes: station 150 is fine numbered in hexadecimal, not in decimal.
    auto far = [](mew::MewMaster &m) -> Value { return m.get_uint16(150, "DT0"); };
    for (bool decimal : {false, false, true, false}) {
        master_->set_decimal_stations(decimal);
        if (decimal)
            EXPECT_THROW(queued.submit(far, sink, "get_uint16 150 DT0"), mew::ValueError);
        else
            queued.cancel(queued.submit(far, sink, "get_uint16 150 DT0")->ticket());
    }
    EXPECT_EQ(collect(*sink, 3).size(), 3u);
}

TEST_F(QueuedMasterTest, ALateAnswerIsDroppedNotTakenByTheNextCall) {
    auto sink = std::make_shared<mew::CompletionSink>();
    mew::QueuedMaster queued(*master_, "test");
    // The answer to the first read comes once that read has timed out and
    // the second one waits for its own.
    device_->start([&](const std::string &command) {
        if (command != frame("%01#RDD0000000000")) return;
        eventually([&] { return queued.completed() >= 1 && master_->feedback_listeners().size() == 1; });
    });
    queued.submit(read(0), sink);
    queued.submit(read(1), sink);
    std::vector<CommandPtr> done = collect(*sink, 2);
    ASSERT_EQ(done.size(), 2u);
    EXPECT_EQ(message_of(done[0]->error()), "MewMasterBase: device response timeout.");
    const auto &second = static_cast<const mew::QueuedMaster::Call &>(*done[1]);
    ASSERT_FALSE(second.error()) << message_of(second.error());
    EXPECT_EQ(std::get<std::int64_t>(second.value()), word_at(1));
    const std::string late = "MewMasterBase: Drop late response: " + frame("%01$RD" + std::string("3412"));
    EXPECT_EQ(printed(), std::vector<std::string>{late});
}

TEST_F(QueuedMasterTest, CloseFailsTheQueuedCallsAndEndsTheOneOnTheLine) {
    device_->start([&](const std::string &) { held_.pass(); });
    auto sink = std::make_shared<mew::CompletionSink>();
    master_->set_query_timeout(60);
    mew::QueuedMaster queued(*master_, "test");
    queued.submit(read(0), sink);
    queued.submit(read(1), sink);
    queued.submit(read(2), sink);
    ASSERT_TRUE(held_.wait_entered());
    const auto start = Clock::now();
    queued.close();
    // Far from the time-out: closing the master ended the wait.
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 30);
    held_.open();
    std::vector<CommandPtr> done = collect(*sink, 3);
    ASSERT_EQ(done.size(), 3u);
    EXPECT_EQ(message_of(done[0]->error()), "test: closed before the command was sent");
    EXPECT_EQ(message_of(done[1]->error()), "test: closed before the command was sent");
    EXPECT_EQ(message_of(done[2]->error()), "Attempting to use a port that is not open");
    EXPECT_EQ(device_->received().size(), 1u);
    try {
        queued.submit(read(3), sink);
        FAIL() << "a closed master took a call";
    } catch (const mew::IOError &e) {
        EXPECT_STREQ(e.what(), "test: closed");
    }
}

}  // namespace
