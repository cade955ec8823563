// The link engine in plain C++: stations on an in-process line, the frame
// reader over scripted bytes, and the POSIX port on a pseudo-terminal.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "codec/errors.h"
#include "codec/mew_static.h"
#include "link/listener.h"
#include "link/mew_master_base.h"
#include "link/runtime.h"
#include "link/station_lock.h"
#include "transport/channel.h"
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

// One direction of the line. Reading waits like a serial port: at most the
// time-out for the first byte.
class BytePipe : public mew::ByteSource {
public:
    void push(std::string_view bytes) {
        std::lock_guard<std::mutex> lock(mutex_);
        data_.append(bytes);
        ready_.notify_all();
    }
    void close() {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        ready_.notify_all();
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        data_.clear();
    }
    std::size_t size() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return data_.size();
    }
    bool read_some(std::string &out, std::size_t max, double timeout) override {
        std::unique_lock<std::mutex> lock(mutex_);
        auto ready = [this] { return closed_ || !data_.empty(); };
        if (timeout < 0)
            ready_.wait(lock, ready);
        else if (!ready_.wait_for(lock, std::chrono::duration<double>(timeout), ready))
            return false;
        if (closed_) throw mew::PortClosedError();
        std::size_t n = std::min(max, data_.size());
        out.append(data_, 0, n);
        data_.erase(0, n);
        return true;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::string data_;
    bool closed_ = false;
};

class PipeChannel : public mew::Channel {
public:
    PipeChannel(std::shared_ptr<BytePipe> in, std::shared_ptr<BytePipe> out, double timeout)
        : in_(std::move(in)), out_(std::move(out)), reader_(*in_, timeout) {}
    std::string read(std::int64_t size) override { return reader_.read(size); }
    std::string receive_frame() override { return reader_.receive_frame(); }
    void send_frame(std::string_view data) override { out_->push(data); }
    std::int64_t in_waiting() override { return static_cast<std::int64_t>(reader_.buffered() + in_->size()); }
    void close() override { in_->close(); }
    void flush_input() override {
        reader_.discard();
        in_->clear();
    }

private:
    std::shared_ptr<BytePipe> in_, out_;
    mew::FrameReader reader_;
};

// The station's end reads with a short time-out that paces its receiver;
// the test's end, the device, waits long.
struct Line {
    std::shared_ptr<BytePipe> to_station = std::make_shared<BytePipe>();
    std::shared_ptr<BytePipe> to_device = std::make_shared<BytePipe>();
    std::shared_ptr<PipeChannel> station = std::make_shared<PipeChannel>(to_station, to_device, 0.05);
    std::shared_ptr<PipeChannel> device = std::make_shared<PipeChannel>(to_device, to_station, 10.0);
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

// Waits until `line` has been printed at least `times` times.
bool was_printed(const std::string &line, int times = 1) {
    return eventually([&] {
        int seen = 0;
        for (const auto &l : printed()) seen += l == line;
        return seen >= times;
    });
}

class LinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        {
            std::lock_guard<std::mutex> lock(g_printed_mutex);
            g_printed.clear();
        }
        mew::runtime::set_printer(&capture);
    }
    void TearDown() override { mew::runtime::set_printer(nullptr); }
    Line line;
};

struct ThrowingListener : mew::Listener {
    bool io;
    explicit ThrowingListener(bool io_error) : io(io_error) {}
    void put(const std::string &) override {
        if (io) throw mew::IOError("listener failed");
        throw std::runtime_error("boom");
    }
};

std::string frame(std::string_view body) {
    return MewStatic::append_tail(body);
}

TEST_F(LinkTest, ReceiverRoutesByFrameType) {
    mew::MewBase station(line.station);
    auto fb1 = std::make_shared<mew::FrameQueue>(), fb2 = std::make_shared<mew::FrameQueue>();
    auto requests = std::make_shared<mew::FrameQueue>();
    station.feedback_listeners().append(fb1);
    station.feedback_listeners().append(fb2);
    station.query_listeners().append(requests);
    station.start();
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

TEST_F(LinkTest, FramesWithoutListenerAreDropped) {
    mew::MewBase station(line.station);
    station.start();
    // The response goes first: had it printed anything, it would show up
    // before the command's line.
    line.device->send_frame(frame("%01$RD3412") + frame("%01#RCSX0000"));
    ASSERT_TRUE(was_printed("MewBase: No query listener. Drop frame."));
    EXPECT_EQ(printed(), std::vector<std::string>{"MewBase: No query listener. Drop frame."});
    station.close();
}

TEST_F(LinkTest, ReceiverReportsErrorsAndGoesOn) {
    mew::MewBase station(line.station);
    auto fb = std::make_shared<mew::FrameQueue>();
    station.feedback_listeners().append(fb);
    station.start();
    line.device->send_frame("%01$RD34");  // its CR never comes
    ASSERT_TRUE(was_printed("IOError from MewFullDuplex: Error: device response format invalid."));
    station.query_listeners().append(std::make_shared<ThrowingListener>(false));
    line.device->send_frame(frame("%01#RCSX0000"));
    ASSERT_TRUE(was_printed("Ignore unhandled exception: boom"));
    station.query_listeners().append(std::make_shared<ThrowingListener>(true));
    line.device->send_frame(frame("%01#RCSX0000"));
    // The first listener's failure ends the frame's delivery.
    ASSERT_TRUE(was_printed("Ignore unhandled exception: boom", 2));
    line.device->send_frame(frame("%01$RD3412"));
    EXPECT_EQ(fb->get(10), frame("%01$RD3412"));
    EXPECT_EQ(fb->try_get(), std::nullopt);  // the broken frame went to nobody
    station.stop();
}

TEST_F(LinkTest, ReadErrorEndsReceiverButNotTheStation) {
    mew::MewBase station(line.station);
    station.start();
    line.station->close();
    ASSERT_TRUE(eventually([] {
        for (const auto &l : printed())
            if (l.rfind("MewBase: Receiver thread ended by", 0) == 0) return true;
        return false;
    }));
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
        line_.to_device->close();
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
               : commands.size() == 2 ? "%01$WCxx\r"
                                      : frame("%01$RD");
    });
    EXPECT_EQ(master.query("%01#RDD0010000100"), "RD3412");
    EXPECT_EQ(master.query("%01#WCSY00001**\r"), "WC");  // the response's check code is not checked
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
        {frame("%02$RD0000"), "Error: station not match: expected 1, got 2"},
        {frame("%0A$RD0000"), "Error: station not match: expected 1, got 10"},
        {frame("%01!42"), "MEW communication error code(hex): 42"},
    };
    std::size_t next = 0;
    Device device(line, static_cast<int>(cases.size()),
                  [&](const std::string &) { return cases[next++].first; });
    for (const auto &c : cases) {
        const auto start = Clock::now();
        try {
            master.query(frame("%01#RDD0010000100"));
            ADD_FAILURE() << "no error for " << c.first;
        } catch (const mew::IOError &e) {
            EXPECT_EQ(std::string(e.what()), c.second);
        }
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
        try {
            master.query(frame("%01#RDD0010000100"));
            ADD_FAILURE() << "no time-out";
        } catch (const mew::IOError &e) {
            EXPECT_STREQ(e.what(), "MewMasterBase: device response timeout.");
        }
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
            try {
                if (master.query(frame("%" + station + "#RDD0010000100")) == "RD" + station + station) ++good;
            } catch (const mew::IOError &) {
            }
        }
    };
    std::thread one(client, "01"), two(client, "02");
    one.join();
    two.join();
    device.join();
    EXPECT_EQ(good.load(), 2 * kRounds);
    master.stop();
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

// Hands out scripted chunks; an empty chunk, or the end of the script, is a
// time-out.
class ScriptedSource : public mew::ByteSource {
public:
    std::deque<std::string> chunks;
    std::vector<double> timeouts;
    std::function<std::string()> endless;  // when set, never runs dry
    bool read_some(std::string &out, std::size_t max, double timeout) override {
        timeouts.push_back(timeout);
        std::string chunk;
        if (endless) {
            chunk = endless();
        } else if (!chunks.empty()) {
            chunk = std::move(chunks.front());
            chunks.pop_front();
        }
        if (chunk.empty()) return false;
        EXPECT_LE(chunk.size(), max);
        out += chunk;
        return true;
    }
};

TEST(FrameReader, SplitsFramesAndWaitsPerByte) {
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
}

TEST(FrameReader, ReportsMissingAndBrokenFrames) {
    ScriptedSource src;
    mew::FrameReader reader(src, 0.1);
    try {
        reader.receive_frame();
        ADD_FAILURE();
    } catch (const mew::IOError &e) {
        EXPECT_STREQ(e.what(), "Error: device no response.");
    }
    src.chunks = {"%01$RD", "", "%02$RD\r"};
    try {
        reader.receive_frame();
        ADD_FAILURE();
    } catch (const mew::IOError &e) {
        EXPECT_STREQ(e.what(), "Error: device response format invalid.");
    }
    EXPECT_EQ(reader.receive_frame(), "%02$RD\r");  // the broken bytes are gone
    src.chunks = {"left over"};
    reader.read(1);
    reader.discard();
    EXPECT_EQ(reader.buffered(), 0u);
}

TEST(FrameReader, RefusesFramesOverTheLimit) {
    ScriptedSource src;
    std::size_t given = 0;
    src.endless = [&] {
        given += 4096;
        return std::string(4096, 'A');
    };
    mew::FrameReader reader(src, 0.1);
    EXPECT_THROW(reader.receive_frame(), mew::IOError);
    EXPECT_GT(given, mew::FrameReader::kMaxFrame);
    EXPECT_LE(given, mew::FrameReader::kMaxFrame + 2 * 4096);
    src.endless = nullptr;
    src.chunks = {"%01$RD\r"};
    EXPECT_EQ(reader.receive_frame(), "%01$RD\r");
}

TEST(FrameReader, BytesBecomeOneCharacterEach) {
    EXPECT_EQ(mew::latin1_to_utf8(std::string("a\xB0\xFF\x7F", 4)), "a\xC2\xB0\xC3\xBF\x7F");
    ScriptedSource src;
    mew::FrameReader reader(src, 0.1);
    src.chunks = {"%\xE9\r", "ab\xE9"};
    EXPECT_EQ(reader.receive_frame(), "%\xC3\xA9\r");
    EXPECT_EQ(reader.read(2), "ab");
    EXPECT_EQ(reader.read(2), "\xC3\xA9");
}

struct Pty {
    int master = -1, slave = -1;
    Pty() {
        if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return;
        termios raw{};
        ::tcgetattr(slave, &raw);
        ::cfmakeraw(&raw);  // the line discipline must leave CR alone
        ::tcsetattr(slave, TCSANOW, &raw);
    }
    ~Pty() {
        for (int fd : {master, slave})
            if (fd >= 0) ::close(fd);
    }
    std::string read_master(std::size_t want) {
        std::string out;
        while (out.size() < want) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 10000) <= 0) break;
            char buf[256];
            ssize_t n = ::read(master, buf, sizeof buf);
            if (n <= 0) break;
            out.append(buf, static_cast<std::size_t>(n));
        }
        return out;
    }
};

TEST(PosixPort, MovesBytesOnAPty) {
    Pty pty;
    ASSERT_GE(pty.slave, 0);
    mew::PosixPort port(pty.slave);
    mew::FrameReader reader(port, 5.0);
    const std::string in = frame("%01$RD3412");
    ASSERT_EQ(::write(pty.master, in.data(), in.size()), static_cast<ssize_t>(in.size()));
    EXPECT_EQ(reader.receive_frame(), in);
    port.write("%01#RCSX00001D\r");
    EXPECT_EQ(pty.read_master(15), "%01#RCSX00001D\r");
    std::string out;
    const auto start = Clock::now();
    EXPECT_FALSE(port.read_some(out, 16, 0.1));
    EXPECT_GE(seconds_since(start), 0.08);
}

TEST(PosixPort, ShutdownWakesABlockedReader) {
    Pty pty;
    ASSERT_GE(pty.slave, 0);
    mew::PosixPort port(pty.slave);
    std::atomic<bool> entered{false}, refused{false};
    std::thread reader([&] {
        std::string out;
        entered = true;
        try {
            port.read_some(out, 16, -1);
        } catch (const mew::PortClosedError &) {
            refused = true;
        }
    });
    ASSERT_TRUE(eventually([&] { return entered.load(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    port.shutdown();
    reader.join();
    EXPECT_TRUE(refused.load());
    EXPECT_TRUE(port.is_closed());
    std::string out;
    EXPECT_THROW(port.read_some(out, 16, 0), mew::PortClosedError);
    EXPECT_THROW(port.write("x"), mew::PortClosedError);
    port.shutdown();
}

}  // namespace
