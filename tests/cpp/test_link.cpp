// The link engine in plain C++: stations on an in-process line, the frame
// reader over scripted bytes, and the POSIX port on a pseudo-terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/errors.h"
#include "base/quick_mutex.h"
#include "base/runtime.h"
#include "codec/mew_static.h"
#include "link/listener.h"
#include "link/mew_master_base.h"
#include "link/station_lock.h"
#include "master/mew_master.h"
#include "station/mew_full_duplex.h"
#include "transport/channel.h"
#include "transport/fd_channel.h"
#include "transport/frame_reader.h"
#include "transport/posix_port.h"

namespace {

using mew::MewStatic;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Polls instead of sleeping a fixed time, so a slow machine only runs longer.
bool eventually(const std::function<bool()> &condition, double seconds = 10) {
    const auto start = Clock::now();
    while (!condition()) {
        if (seconds_since(start) > seconds) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// An in-process line: the two ends of a socket pair, each a channel as a
// serial port is one. The station's end reads with a short time-out that
// paces its receiver; the test's end, the device, waits long.
struct Line {
    int fds[2] = {-1, -1};
    std::shared_ptr<mew::FdChannel> station, device;
    Line() {
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) throw std::runtime_error("socketpair");
        station = std::make_shared<mew::FdChannel>(fds[0], 0.05);
        device = std::make_shared<mew::FdChannel>(fds[1], 10.0);
    }
    ~Line() {
        station->close();
        device->close();
        ::close(fds[0]);
        ::close(fds[1]);
    }
    Line(const Line &) = delete;
    Line &operator=(const Line &) = delete;
};

std::mutex g_printed_mutex;
std::vector<std::string> g_printed;

void capture(const std::string &line) {
    std::lock_guard<std::mutex> lock(g_printed_mutex);
    g_printed.push_back(line);
}

std::vector<std::string> printed() {
    std::lock_guard<std::mutex> lock(g_printed_mutex);
    return g_printed;
}

// Waits until a line starting with `start` has been printed `times` times.
bool was_printed(const std::string &start, int times = 1) {
    return eventually([&] {
        int seen = 0;
        for (const auto &l : printed()) seen += l.rfind(start, 0) == 0;
        return seen >= times;
    });
}

// The message of the IOError that `call` raises; empty when it raises none.
std::string io_error_of(const std::function<void()> &call) {
    try {
        call();
    } catch (const mew::IOError &e) {
        return e.what();
    }
    return "";
}

class LinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::lock_guard<std::mutex> lock(g_printed_mutex);
        g_printed.clear();
        mew::runtime::set_printer(&capture);
    }
    void TearDown() override { mew::runtime::set_printer(nullptr); }
    Line line;
};

struct ThrowingListener : mew::Listener {
    void put(const std::string &) override { throw std::runtime_error("boom"); }
};

std::string frame(std::string_view body) {
    return MewStatic::append_tail(body);
}

TEST_F(LinkTest, ReceiverRoutesByFrameType) {
    mew::MewBase station(line.station);
    station.start();
    // With no listener a response goes silently, a command with a line.
    line.device->send_frame(frame("%01$RD3412") + frame("%01#RCSX0000"));
    ASSERT_TRUE(was_printed("MewBase: No query listener. Drop frame."));
    EXPECT_EQ(printed().size(), 1u);

    auto fb1 = std::make_shared<mew::FrameQueue>(), fb2 = std::make_shared<mew::FrameQueue>();
    auto requests = std::make_shared<mew::FrameQueue>();
    station.feedback_listeners().append(fb1);
    station.feedback_listeners().append(fb2);
    station.query_listeners().append(requests);
    const std::string normal = frame("%01$RD3412"), error = frame("%01!42"), command = frame("%02#RCSX0000");
    line.device->send_frame(normal + command + error);
    line.device->send_frame("%01*AB\r");
    for (auto &fb : {fb1, fb2}) {
        EXPECT_EQ(fb->get(10), normal);
        EXPECT_EQ(fb->get(10), error);
    }
    EXPECT_EQ(requests->get(10), command);
    EXPECT_TRUE(was_printed("MewBase: Unknown frame type: \r"));
    EXPECT_EQ(fb1->size() + fb2->size() + requests->size(), 0u);
    station.stop();
}

TEST_F(LinkTest, ReceiverReportsErrorsAndGoesOn) {
    mew::MewBase station(line.station);
    auto fb = std::make_shared<mew::FrameQueue>();
    station.feedback_listeners().append(fb);
    station.start();
    line.device->send_frame("%01$RD34");  // its CR never comes
    ASSERT_TRUE(was_printed("IOError from MewFullDuplex: Error: device response format invalid."));
    auto after = std::make_shared<mew::FrameQueue>();
    station.query_listeners().append(std::make_shared<ThrowingListener>());
    station.query_listeners().append(after);
    line.device->send_frame(frame("%01#RCSX0000"));
    ASSERT_TRUE(was_printed("Ignore unhandled exception: boom"));
    EXPECT_EQ(after->try_get(), std::nullopt);  // the failure ended the frame's delivery
    line.device->send_frame(frame("%01$RD3412"));
    EXPECT_EQ(fb->get(10), frame("%01$RD3412"));
    EXPECT_EQ(fb->try_get(), std::nullopt);  // the broken frame went to nobody

    // A failing one-character read ends the receiver but not the station.
    line.station->close();
    ASSERT_TRUE(was_printed("MewBase: Receiver thread ended by"));
    EXPECT_FALSE(station.stop_flag());
    station.start();  // still counts as running
    station.stop();
    EXPECT_TRUE(station.stop_flag());
}

TEST_F(LinkTest, StartStopAndRestartAreIdempotent) {
    mew::MewBase station(line.station);
    station.stop();
    EXPECT_TRUE(station.stop_flag());
    station.start();
    auto *first = station.receiver_thread();
    station.start();
    EXPECT_EQ(station.receiver_thread(), first);
    EXPECT_FALSE(station.stop_flag());
    station.stop();
    station.stop();
    EXPECT_TRUE(station.stop_flag());

    auto fb = std::make_shared<mew::FrameQueue>();
    station.feedback_listeners().append(fb);
    line.device->send_frame(frame("%01$RD0000"));  // pending, so discarded by start
    station.start();
    line.device->send_frame(frame("%01$RD1111"));
    EXPECT_EQ(fb->get(10), frame("%01$RD1111"));
    station.stop();
    // Stopped from several threads at once, each returning after the end.
    for (int round = 0; round < 10; ++round) {
        station.start();
        std::vector<std::thread> stoppers;
        for (int i = 0; i < 4; ++i) stoppers.emplace_back([&] { station.stop(); });
        for (auto &t : stoppers) t.join();
    }
    station.close();
    station.close();
    EXPECT_TRUE(station.stop_flag());
}

TEST_F(LinkTest, DestroyingARunningStationEndsItsThread) {
    for (int i = 0; i < 3; ++i) {
        auto station = std::make_unique<mew::MewMasterBase>(line.station, 0.5);
        station->start();
        line.device->send_frame("%01$R");  // the receiver is inside a frame
        station.reset();
        EXPECT_EQ(line.station.use_count(), 1);  // no thread holds the channel any more
        line.station->flush_input();
    }
}

// Answers `count` commands; `answer` maps each command to its response. A
// test that fails early cuts the line, so the device never outlives it.
class Device {
public:
    Device(Line &line, int count, std::function<std::string(const std::string &)> answer)
        : line_(line), thread_([this, count, answer] {
              for (int i = 0; i < count; ++i) {
                  std::string command;
                  try {
                      command = line_.device->receive_frame();
                  } catch (const mew::IOError &) {
                      return;
                  }
                  line_.device->send_frame(answer(command));
              }
          }) {}
    ~Device() {
        if (!thread_.joinable()) return;
        line_.device->close();
        thread_.join();
    }
    void join() { thread_.join(); }

private:
    Line &line_;
    std::thread thread_;
};

TEST_F(LinkTest, QueryReturnsCodeAndData) {
    mew::MewMasterBase master(line.station, 10);
    master.start();
    std::vector<std::string> commands;
    Device device(line, 3, [&](const std::string &command) {
        commands.push_back(command);
        return commands.size() == 1   ? frame("%01$RD3412")
               : commands.size() == 2 ? "%01$WC**\r"
                                      : frame("%01$RD");
    });
    EXPECT_EQ(master.query("%01#RDD0010000100"), "RD3412");
    EXPECT_EQ(master.query("%01#WCSY00001**\r"), "WC");  // "**": no check code given
    EXPECT_EQ(master.query(frame("%01#RDD0010000100")), "RD");
    device.join();
    EXPECT_EQ(commands, (std::vector<std::string>{"%01#RDD0010000100\r", "%01#WCSY00001**\r",
                                                  frame("%01#RDD0010000100")}));
    EXPECT_EQ(master.feedback_listeners().size(), 0u);
    master.stop();
}

TEST_F(LinkTest, QueryFailuresRaiseTheirMessages) {
    mew::MewMasterBase master(line.station, 10);
    master.start();
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"X01$RD0000\r", "Error: device response format invalid: begin with: X"},
        {"%01$RD0\r", "Error: device response format invalid: length too small: 8"},
        {"%02$RD000016\r", "Error: device response check code invalid."},  // 15 would be right
        {"%01$RD0000ZZ\r", "Error: device response check code invalid."},
        {frame("%02$RD0000"), "Error: station not match: expected 1, got 2"},
        {frame("%0A$RD0000"), "Error: station not match: expected 1, got 10"},
        {frame("%01!42"), "MEW communication error code(hex): 42"},
    };
    std::size_t next = 0;
    Device device(line, static_cast<int>(cases.size()),
                  [&](const std::string &) { return cases[next++].first; });
    for (const auto &c : cases) {
        const auto start = Clock::now();
        EXPECT_EQ(io_error_of([&] { master.query(frame("%01#RDD0010000100")); }), c.second) << c.first;
        EXPECT_LT(seconds_since(start), 9.0);  // an answer ends the wait
    }
    device.join();

    Device bad_station(line, 1, [](const std::string &) { return frame("%0G$RD0000"); });
    EXPECT_THROW(master.query(frame("%01#RDD0010000100")), mew::ValueError);
    bad_station.join();
    EXPECT_EQ(master.feedback_listeners().size(), 0u);
    master.stop();
}

TEST_F(LinkTest, QueryTimesOut) {
    mew::MewMasterBase master(line.station, 0.2);
    for (bool started : {false, true}) {
        if (started) master.start();
        const auto start = Clock::now();
        EXPECT_EQ(io_error_of([&] { master.query(frame("%01#RDD0010000100")); }),
                  "MewMasterBase: device response timeout.");
        EXPECT_GE(seconds_since(start), 0.15);
        EXPECT_EQ(master.feedback_listeners().size(), 0u);
        EXPECT_FALSE(master.query_lock().locked());
    }
    master.stop();
}

TEST_F(LinkTest, ConcurrentQueriesGetTheirOwnResponses) {
    constexpr int kRounds = 20;
    mew::MewMasterBase master(line.station, 10);
    master.start();
    Device device(line, 2 * kRounds, [](const std::string &command) {
        std::string station = command.substr(1, 2);
        return frame("%" + station + "$RD" + station + station);
    });
    std::atomic<int> good{0};
    auto client = [&](const std::string &station) {
        for (int i = 0; i < kRounds; ++i) {
            std::string got;  // an error would leave it empty, and must not end the thread
            io_error_of([&] { got = master.query(frame("%" + station + "#RDD0010000100")); });
            good += got == "RD" + station + station;
        }
    };
    std::thread one(client, "01"), two(client, "02");
    one.join();
    two.join();
    device.join();
    EXPECT_EQ(good.load(), 2 * kRounds);
    master.stop();
}

// The station's end of the line, noting which thread reads each frame.
class WatchedChannel : public mew::Channel {
public:
    explicit WatchedChannel(std::shared_ptr<mew::FdChannel> inner) : inner_(std::move(inner)) {}
    std::string read(std::int64_t size) override { return inner_->read(size); }
    std::string receive_frame() override { return inner_->receive_frame(); }
    std::string read_frame(std::atomic<bool> &started) override { return noted(inner_->read_frame(started)); }
    bool reads_within() const override { return true; }
    std::string read_frame_within(std::atomic<bool> &started, double timeout) override {
        return noted(inner_->read_frame_within(started, timeout));
    }
    void send_frame(std::string_view data) override {
        if (on_send) on_send();
        inner_->send_frame(data);
    }
    std::int64_t in_waiting() override { return inner_->in_waiting(); }
    void close() override { inner_->close(); }
    void wake_reader() override { inner_->wake_reader(); }
    std::function<void()> on_send;
    // Frames read by `thread`.
    int read_by(std::thread::id thread) {
        std::lock_guard<std::mutex> lock(mutex_);
        return readers_[thread];
    }

private:
    std::shared_ptr<mew::FdChannel> inner_;
    std::mutex mutex_;
    std::map<std::thread::id, int> readers_;
    std::string noted(std::string frame) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!frame.empty()) ++readers_[std::this_thread::get_id()];
        return frame;
    }
};

class PatientMaster : public mew::MewMasterBase {
public:
    using mew::MewMasterBase::MewMasterBase;
    // Long enough that the turn is still out of the receiver's way on a
    // loaded machine.
    void keep_aside() { set_read_aside(30); }
};

TEST_F(LinkTest, TheQueryingThreadReadsItsAnswersUnlessTheStationHasASlaveSide) {
    auto channel = std::make_shared<WatchedChannel>(line.station);
    PatientMaster master(channel, 10);
    master.keep_aside();
    master.start();
    const std::string command = frame("%01#RDD0010000100");
    int answered = 0;
    Device device(line, 25,
                  [&](const std::string &) { return frame("%01$RD" + std::to_string(1000 + ++answered)); });
    const std::thread::id me = std::this_thread::get_id();
    {
        // Commands may come at any time to a station with a slave side: its
        // receiver keeps reading.
        mew::Subscription slave_side(master.query_listeners());
        for (int i = 1; i <= 5; ++i) EXPECT_EQ(master.query(command), "RD" + std::to_string(1000 + i));
        EXPECT_EQ(channel->read_by(me), 0);
    }
    for (int i = 6; i <= 25; ++i) EXPECT_EQ(master.query(command), "RD" + std::to_string(1000 + i));
    device.join();
    // The first two may be the receiver's: it was reading when the first
    // came, and may route its answer before the query looked at the turn.
    EXPECT_GE(channel->read_by(me), 18);
    EXPECT_EQ(master.feedback_listeners().size(), 0u);

    // A frame that breaks off on the querying thread's read is reported as
    // the receiver reports it, and the query times out.
    master.set_query_timeout(0.3);
    line.device->send_frame("%01$RD");
    EXPECT_EQ(io_error_of([&] { master.query(command); }), "MewMasterBase: device response timeout.");
    EXPECT_TRUE(was_printed("IOError from MewFullDuplex: Error: device response format invalid."));
    master.stop();
}

// A response routed by the receiver makes it step aside for the queries that
// read their own answers. A query that looked while that read was still
// under way left its answer to the receiver: it must take the turn once the
// receiver has stepped aside, or wait to its time-out for a frame nobody
// reads.
TEST_F(LinkTest, AQueryThatFoundTheReceiverReadingTakesTheTurnOnceItStepsAside) {
    auto channel = std::make_shared<WatchedChannel>(line.station);
    PatientMaster master(channel, 5);
    master.keep_aside();
    std::atomic<int> sent{0};
    channel->on_send = [&] { ++sent; };
    // Keeps the receiver in its turn after it routed the first answer,
    // until the second command is out and its query has looked at the turn.
    struct Lingering : mew::Listener {
        std::atomic<int> &sent;
        std::thread::id test;
        explicit Lingering(std::atomic<int> &s) : sent(s), test(std::this_thread::get_id()) {}
        void put(const std::string &) override {}
        void after_routing() override {
            if (std::this_thread::get_id() == test || sent.load() != 1) return;
            eventually([&] { return sent.load() == 2; });
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    };
    master.feedback_listeners().append(std::make_shared<Lingering>(sent));
    master.start();
    Device device(line, 2,
                  [&](const std::string &) { return frame("%01$RD" + std::to_string(1000 + sent)); });
    const std::string command = frame("%01#RDD0010000100");
    {
        // The first answer is the receiver's: the station has a slave side.
        mew::Subscription slave_side(master.query_listeners());
        EXPECT_EQ(master.query(command), "RD1001");
    }
    EXPECT_EQ(master.query(command), "RD1002");
    device.join();
    master.stop();
}

TEST_F(LinkTest, CloseWakesAQueryReadingItsOwnAnswer) {
    PatientMaster master(line.station, -1);
    master.keep_aside();
    master.start();
    const std::string command = frame("%01#RDD0010000100");
    Device device(line, 1, [&](const std::string &) { return frame("%01$RD00"); });
    EXPECT_EQ(master.query(command), "RD00");  // the receiver steps aside after it
    device.join();
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        master.close();
    });
    const auto start = Clock::now();
    EXPECT_THROW(master.query(command), mew::PortClosedError);
    EXPECT_LT(seconds_since(start), 5.0);
    closer.join();
}

TEST_F(LinkTest, ASlaveAnswersOnTheReadingThreadWithNoListenerLockHeld) {
    auto channel = std::make_shared<WatchedChannel>(line.station);
    mew::MewFullDuplex station(channel);
    std::atomic<int> sent{0}, under_listener_lock{0};
    channel->on_send = [&] {
        ++sent;
        under_listener_lock += station.listener_lock().locked();
    };
    station.start();
    for (int i = 0; i < 5; ++i) {
        line.device->send_frame(frame("%01#RCSX0000"));
        EXPECT_EQ(line.device->receive_frame(), frame("%01$RC0"));
    }
    station.stop();
    EXPECT_EQ(sent.load(), 5);
    EXPECT_EQ(under_listener_lock.load(), 0);
}

TEST(FrameQueue, IsFirstInFirstOutAndWaits) {
    mew::FrameQueue q;
    EXPECT_EQ(q.try_get(), std::nullopt);
    const auto start = Clock::now();
    EXPECT_EQ(q.get(0.1), std::nullopt);
    EXPECT_GE(seconds_since(start), 0.08);
    q.put("a");
    q.put("b");
    EXPECT_EQ(q.size(), 2u);
    EXPECT_EQ(q.get(-1), "a");
    EXPECT_EQ(q.get(0), "b");
    // Waits without limit, and so does a time-out no clock can count.
    for (double timeout : {-1.0, 1e10, 1e300}) {
        std::thread late([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            q.put("late");
        });
        EXPECT_EQ(q.get(timeout), "late") << timeout;
        late.join();
    }
}

TEST(StationLock, IsRecursiveAndOwnedByOneThread) {
    mew::StationLock lock;
    EXPECT_FALSE(lock.locked());
    EXPECT_THROW(lock.unlock(), std::logic_error);
    lock.lock();
    EXPECT_TRUE(lock.try_lock_for(0));
    EXPECT_TRUE(lock.owned_by_caller());
    std::thread([&] {
        EXPECT_TRUE(lock.locked());
        EXPECT_FALSE(lock.owned_by_caller());
        EXPECT_FALSE(lock.try_lock_for(0));
        EXPECT_FALSE(lock.try_lock_for(0.05));
        EXPECT_THROW(lock.unlock(), std::logic_error);
    }).join();
    lock.unlock();
    EXPECT_TRUE(lock.locked());
    std::thread waiter([&] {
        if (lock.try_lock_for(1e10))
            lock.unlock();
        else
            ADD_FAILURE() << "gave up waiting";
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    lock.unlock();
    waiter.join();
    EXPECT_FALSE(lock.locked());
}

// Holds that meet wait for one another: every increment made under the lock
// counts (and the thread sanitizer sees no race on the plain counter), and
// a release wakes a thread that waits.
TEST(QuickMutex, ExcludesAndWakesItsWaiters) {
    mew::QuickMutex lock;
    long counter = 0;
    constexpr int kThreads = 4, kRounds = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                std::lock_guard<mew::QuickMutex> hold(lock);
                const long seen = counter;
                if (i % 500 == 0) std::this_thread::yield();  // so that others come to wait
                counter = seen + 1;
            }
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(counter, kThreads * kRounds);
    lock.lock();
    EXPECT_FALSE(lock.try_lock());
    std::thread waiter([&] {
        std::lock_guard<mew::QuickMutex> hold(lock);
        ++counter;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(counter, kThreads * kRounds);
    lock.unlock();
    waiter.join();
    EXPECT_EQ(counter, kThreads * kRounds + 1);
    EXPECT_TRUE(lock.try_lock());
    lock.unlock();
}

// Hands out scripted chunks; an empty chunk, or the end of the script, is a
// time-out.
class ScriptedSource : public mew::ByteSource {
public:
    std::deque<std::string> chunks;
    std::vector<double> timeouts;
    std::size_t read_some(char *into, std::size_t max, double timeout) override {
        timeouts.push_back(timeout);
        if (chunks.empty()) return 0;
        std::string chunk = std::move(chunks.front());
        chunks.pop_front();
        EXPECT_LE(chunk.size(), max);
        chunk.copy(into, max);
        return std::min(chunk.size(), max);
    }
};

TEST(FrameReader, SplitsFramesWaitsPerByteAndDecodesLatin1) {
    ScriptedSource src;
    mew::FrameReader reader(src, 0.25);
    src.chunks = {"%01$RD3412xx\r%01$W", "Cxx", "\r%01"};
    EXPECT_EQ(reader.receive_frame(), "%01$RD3412xx\r");
    EXPECT_EQ(reader.receive_frame(), "%01$WCxx\r");
    EXPECT_EQ(reader.buffered(), 3u);
    for (double t : src.timeouts) EXPECT_EQ(t, 0.25);
    EXPECT_EQ(reader.read(2), "%0");
    EXPECT_EQ(reader.read(5), "1");  // the source ran dry
    EXPECT_EQ(reader.read(0), "");
    src.chunks = {"left over"};
    reader.read(1);
    reader.discard();
    EXPECT_EQ(reader.buffered(), 0u);

    // Bytes become one character each.
    EXPECT_EQ(mew::latin1_to_utf8(std::string("a\xB0\xFF\x7F", 4)), "a\xC2\xB0\xC3\xBF\x7F");
    EXPECT_EQ(mew::latin1_to_utf8("%01$RD34127856\xB0\r"), "%01$RD34127856\xC2\xB0\r");  // past 8 bytes
    EXPECT_EQ(mew::latin1_to_utf8("%01$RD341278561E\r"), "%01$RD341278561E\r");
    src.chunks = {"%\xE9\r", "ab\xE9"};
    EXPECT_EQ(reader.receive_frame(), "%\xC3\xA9\r");
    EXPECT_EQ(reader.read(2), "ab");
    EXPECT_EQ(reader.read(2), "\xC3\xA9");
}

TEST(FrameReader, ReportsMissingBrokenAndOverlongFrames) {
    ScriptedSource src;
    mew::FrameReader reader(src, 0.1);
    EXPECT_EQ(io_error_of([&] { reader.receive_frame(); }), "Error: device no response.");
    src.chunks = {"%01$RD", "", "%02$RD\r"};
    EXPECT_EQ(io_error_of([&] { reader.receive_frame(); }), "Error: device response format invalid.");
    EXPECT_EQ(reader.receive_frame(), "%02$RD\r");  // the broken bytes are gone

    const std::size_t kChunks = 2 * mew::FrameReader::kMaxFrame / 4096;
    src.chunks.assign(kChunks, std::string(4096, 'A'));
    EXPECT_EQ(io_error_of([&] { reader.receive_frame(); }), "Error: device response format invalid.");
    const std::size_t given = (kChunks - src.chunks.size()) * 4096;
    EXPECT_GT(given, mew::FrameReader::kMaxFrame);
    EXPECT_LE(given, mew::FrameReader::kMaxFrame + 2 * 4096);
    src.chunks = {"%01$RD\r"};
    EXPECT_EQ(reader.receive_frame(), "%01$RD\r");
}

// The receiver's one-call read of a frame gives what reading its first byte
// and then the rest gives, errors included, for each script of chunks.
TEST(FrameReader, ReadFrameIsTheFirstByteAndTheRestAtOnce) {
    const std::vector<std::deque<std::string>> scripts = {
        {"%01$RD3412xx\r%01$WCxx\r"}, {"\r%01#RD\r"},       {},         {"%"},
        {"%01$R", "", "%02\r"},       {"%0", "1$", "RD\r"}, {"\xE9\r"}, {"\r"},
    };
    for (const auto &script : scripts) {
        ScriptedSource one, two;
        one.chunks = two.chunks = script;
        mew::FrameReader combined(one, 0.1), split(two, 0.1);
        for (int frame = 0; frame < 3; ++frame) {
            std::atomic<bool> started{false};
            std::string got, want, got_error, want_error;
            try {
                got = combined.read_frame(started);
            } catch (const mew::IOError &e) {
                got_error = e.what();
            }
            std::string first = split.read(1);
            try {
                want = first.empty() ? first : first + split.receive_frame();
            } catch (const mew::IOError &e) {
                want_error = e.what();
            }
            EXPECT_EQ(got, want);
            EXPECT_EQ(got_error, want_error);
            EXPECT_EQ(started.load(), !first.empty());
        }
    }
}

TEST(PosixPort, MovesBytesOnAPtyAndShutdownWakesAReader) {
    int master = -1, slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    termios raw{};
    ::tcgetattr(slave, &raw);
    ::cfmakeraw(&raw);  // the line discipline must leave CR alone
    ::tcsetattr(slave, TCSANOW, &raw);
    {
        mew::PosixPort port(slave);
        mew::FrameReader reader(port, 5.0);
        const std::string in = frame("%01$RD3412"), out = frame("%01#RCSX0000");
        ASSERT_EQ(::write(master, in.data(), in.size()), static_cast<ssize_t>(in.size()));
        EXPECT_EQ(reader.receive_frame(), in);
        port.write(out);
        std::string got(out.size(), '\0');
        pollfd p{master, POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 10000), 1);
        EXPECT_EQ(::read(master, got.data(), got.size()), static_cast<ssize_t>(out.size()));
        EXPECT_EQ(got, out);
        char none[16];
        const auto start = Clock::now();
        EXPECT_EQ(port.read_some(none, sizeof none, 0.1), 0u);
        EXPECT_GE(seconds_since(start), 0.08);

        // interrupt() ends a plain read and leaves a quiet one (a thread
        // reading its own answer) waiting for its bytes.
        for (bool quietly : {false, true}) {
            std::atomic<bool> done{false};
            char bytes[16];
            std::size_t got = 0;
            std::thread reader([&] {
                got = quietly ? port.read_some_quietly(bytes, sizeof bytes, 10)
                              : port.read_some(bytes, sizeof bytes, 10);
                done = true;
            });
            if (quietly) {
                for (int i = 0; i < 20; ++i) {
                    port.interrupt();
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            } else {
                EXPECT_TRUE(eventually([&] {
                    port.interrupt();
                    return done.load();
                }));
            }
            ASSERT_EQ(::write(master, "%", 1), 1);
            reader.join();
            EXPECT_EQ(got, quietly ? 1u : 0u);
            if (!quietly) got = port.read_some(bytes, sizeof bytes, 1);  // the byte is the next read's
            EXPECT_EQ(std::string(bytes, got), "%");
        }

        std::atomic<bool> refused{false};
        std::thread blocked([&] {
            try {
                port.read_some(none, sizeof none, -1);  // waits without limit
            } catch (const mew::PortClosedError &) {
                refused = true;
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        port.shutdown();
        blocked.join();
        EXPECT_TRUE(refused.load());
        EXPECT_TRUE(port.is_closed());
        EXPECT_THROW(port.read_some(none, sizeof none, 0), mew::PortClosedError);
        EXPECT_THROW(port.write("x"), mew::PortClosedError);
        port.shutdown();
    }
    ::close(master);
    ::close(slave);
}

// Frames larger than the descriptor takes at once go out whole, one
// writer's after the other's: the second writer waits while the first
// waits for room.
TEST(PosixPort, ConcurrentWritersNeverInterleaveTheirFrames) {
    int ends[2] = {-1, -1};
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    const int small = 4096;
    ::setsockopt(ends[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ::fcntl(ends[0], F_SETFL, O_NONBLOCK);  // short writes, then waits for room
    constexpr std::size_t kFrame = 32 * 1024;
    constexpr int kFrames = 6;
    std::string got;
    {
        mew::PosixPort port(ends[0]);
        std::vector<std::thread> writers;
        for (char c : {'a', 'b', 'c'})
            writers.emplace_back([&port, c] {
                for (int i = 0; i < kFrames; ++i) port.write(std::string(kFrame, c));
            });
        char buf[8192];
        ssize_t n = 1;
        while (got.size() < 3 * kFrames * kFrame && n > 0) {
            n = ::read(ends[1], buf, sizeof buf);
            if (n > 0) got.append(buf, static_cast<std::size_t>(n));
        }
        for (auto &w : writers) w.join();
    }
    ASSERT_EQ(got.size(), 3 * kFrames * kFrame);
    for (std::size_t at = 0; at < got.size(); at += kFrame)
        EXPECT_EQ(std::count(got.begin() + at, got.begin() + at + kFrame, got[at]), static_cast<long>(kFrame))
            << "frame at " << at;
    ::close(ends[0]);
    ::close(ends[1]);
}

}  // namespace

// A worker thread that a host has not got round to running yet: the station
// must be ready to serve all the same once start() has returned.
class NotYetRunning : public mew::runtime::WorkerThread {
public:
    void start() override {}
    void join() override {}
};

class SlowHostStation : public mew::MewFullDuplex {
public:
    using MewFullDuplex::MewFullDuplex;

protected:
    std::unique_ptr<mew::runtime::WorkerThread> spawn(const char *, std::function<void()>) override {
        return std::make_unique<NotYetRunning>();
    }
};

TEST_F(LinkTest, StartReturnsWithTheCommandQueueInPlace) {
    SlowHostStation station(line.station);
    station.start();
    EXPECT_EQ(station.query_listeners().size(), 1u);
    station.stop();
    EXPECT_EQ(station.query_listeners().size(), 0u);
}

// A controller's answer in frames between two stations of the core, each
// with its receiver and the slave with its worker: the routing of further
// frames and of the requests for them runs on three threads.
class CountingController : public mew::MewFullDuplex {
public:
    using MewFullDuplex::MewFullDuplex;
    Words on_get_multi_uint16(std::string_view name, std::int64_t count) override {
        Words w;
        const std::int64_t start = std::stoll(std::string(name.substr(1)));
        for (std::int64_t i = 0; i < count; ++i)
            w.push_back(written.count(start + i) ? written[start + i] : start + i);
        return w;
    }
    void on_set_multi_uint16(std::string_view name, const Words &values) override {
        const std::int64_t start = std::stoll(std::string(name.substr(1)));
        for (std::size_t i = 0; i < values.size(); ++i)
            written[start + static_cast<std::int64_t>(i)] = values[i];
    }
    std::map<std::int64_t, std::int64_t> written;  // only the worker touches it
};

TEST(LongFrames, MasterAndControllerExchangeLongReadsAndWrites) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    auto master_end = std::make_shared<mew::FdChannel>(fds[0], 0.05);
    auto device_end = std::make_shared<mew::FdChannel>(fds[1], 0.05);
    {
        CountingController controller(device_end, 1.0, 1);
        controller.MewSlaveBase::set_frame_limit(118);
        controller.start();
        mew::MewMaster master(master_end, 1.0);
        master.set_frame_limit(118);
        master.start();
        mew::MewMaster::Words expected;
        for (std::int64_t i = 0; i < 300; ++i) expected.push_back(i);
        EXPECT_EQ(master.get_multi_uint16(1, "DT0", 300), expected);
        mew::MewMaster::Words values(60, 0xBEEF);
        master.set_multi_uint16(1, "DT500", values);
        EXPECT_EQ(master.get_multi_uint16(1, "DT500", 60), values);
        master.close();
        controller.close();
    }
    ::close(fds[0]);
    ::close(fds[1]);
}
