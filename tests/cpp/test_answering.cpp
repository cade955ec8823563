// Commands answered on the thread that reads them: the answering queue, the
// same bytes from the reader and from the worker, and stops while the
// reader is inside a handler.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/runtime.h"
#include "codec/mew_static.h"
#include "station/answering_queue.h"
#include "station/mew_full_duplex.h"
#include "station/random_slave.h"
#include "transport/fd_channel.h"

namespace {

using mew::MewStatic;

std::string frame(std::string_view body) {
    return MewStatic::append_tail(body);
}

// The station on one end of a socket pair; the test plays the device on
// the other with plain reads and writes.
struct Line {
    int fds[2] = {-1, -1};
    std::shared_ptr<mew::FdChannel> station;
    Line() {
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) throw std::runtime_error("socketpair");
        station = std::make_shared<mew::FdChannel>(fds[0], 0.05);
    }
    ~Line() {
        station->close();
        ::close(fds[0]);
        ::close(fds[1]);
    }
    void send(const std::string &bytes) const {
        ASSERT_EQ(::write(fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // The next frame that comes back; "" when none within 10 s.
    std::string next() const {
        std::string out;
        char c = 0;
        while (out.empty() || out.back() != '\r') {
            pollfd p{fds[1], POLLIN, 0};
            if (::poll(&p, 1, 10000) <= 0 || ::read(fds[1], &c, 1) != 1) return out;
            out += c;
        }
        return out;
    }
};

std::mutex g_printed_mutex;
std::vector<std::string> g_printed;

void capture(const std::string &line) {
    std::lock_guard<std::mutex> lock(g_printed_mutex);
    g_printed.push_back(line);
}

class Answering : public ::testing::Test {
protected:
    void SetUp() override {
        std::lock_guard<std::mutex> lock(g_printed_mutex);
        g_printed.clear();
        mew::runtime::set_printer(&capture);
    }
    void TearDown() override { mew::runtime::set_printer(nullptr); }
    static std::vector<std::string> printed() {
        std::lock_guard<std::mutex> lock(g_printed_mutex);
        return g_printed;
    }
};

TEST(AnsweringQueue, AnswersOnlyForTheRouterWhileAttached) {
    struct Case {
        bool router;  // the caller holds the listener lock, as the router does
        bool accept;  // the station answers here
        bool detached;
        bool answered_here;
    } cases[] = {{true, true, false, true},
                 {false, true, false, false},
                 {true, false, false, false},
                 {true, true, true, false}};
    for (const Case &c : cases) {
        mew::StationLock lock;
        std::vector<std::string> answered;
        mew::AnsweringQueue queue(lock, [&](const std::string &f) {
            if (c.accept) answered.push_back(f);
            return c.accept;
        });
        if (c.detached) queue.detach();
        if (c.router) lock.lock();
        queue.put("%01#RCSX0000**\r");
        if (c.router) lock.unlock();
        EXPECT_EQ(answered.size(), c.answered_here ? 1u : 0u);
        EXPECT_EQ(queue.size(), c.answered_here ? 0u : 1u);  // the worker's then
    }
}

// Registers that hold their own numbers, contacts set by their bit; every
// handler notes whether it runs on the thread that routes (the listener
// lock's owner) and may be held until released.
class Noting : public mew::MewFullDuplex {
public:
    Noting(std::shared_ptr<mew::Channel> channel, bool native)
        : MewFullDuplex(std::move(channel)), native_(native) {}
    ~Noting() override { stop(); }
    bool native_sends() const override { return native_; }

    bool on_get_coil(std::string_view name) override { return note(), name.back() == '1'; }
    Words on_get_multi_uint16(std::string_view name, std::int64_t count) override {
        note();
        Words w;
        for (std::int64_t i = 0; i < count; ++i) w.push_back(std::stoll(std::string(name.substr(1))) + i);
        return w;
    }
    void on_set_multi_uint16(std::string_view, const Words &values) override {
        note();
        written = values;
    }
    Words written;
    std::vector<bool> on_reader;

private:
    const bool native_;
    void note() { on_reader.push_back(listener_lock().owned_by_caller()); }
};

TEST_F(Answering, TheReaderAndTheWorkerGiveTheSameBytes) {
    struct Step {
        std::int64_t frame_limit;
        std::string command;  // without check code and CR unless it ends in CR
        bool silent;          // no answer: the next command's shows it
    };
    // One frame each, then with a frame limit a long answer in three frames
    // asked for one by one, and a command breaking into one (error 43).
    const Step script[] = {{0, "%01#RCSR0011", false},
                           {0, "%01#RCSR0010", false},
                           {0, "%01#RDD0010000102", false},
                           {0, "%01#WDD00100001010201FF00", false},
                           {0, "%01#XYZ", false},
                           {0, "%02#RCSR0010", true},
                           {0, "%01#RCSR001000\r", true},
                           {0, "%01#RDD0000000059", false},
                           {118, "%01#RDD0000000059", false},
                           {118, "%01**&\r", false},
                           {118, "%01**&\r", false},
                           {118, "%01#RDD0000000059", false},
                           {118, "%01#RCSR0011", false},
                           {118, "%01**&\r", true}};
    const std::string next_one = frame("%01#RCSR0011");
    std::vector<std::string> answers[2], lines[2];
    for (bool native : {true, false}) {
        Line line;
        Noting station(line.station, native);
        station.start();
        for (const Step &step : script) {
            station.MewSlaveBase::set_frame_limit(step.frame_limit);
            line.send(step.command.back() == '\r' ? step.command : frame(step.command));
            if (step.silent) line.send(next_one);
            answers[native].push_back(line.next());
        }
        station.stop();
        lines[native] = printed();
        EXPECT_EQ(station.written, (mew::MewSlaveBase::Words{258, 255}));
        EXPECT_FALSE(station.on_reader.empty());
        for (bool on_reader : station.on_reader) EXPECT_EQ(on_reader, native);
        SetUp();
    }
    EXPECT_EQ(answers[true], answers[false]);
    EXPECT_EQ(lines[true], lines[false]);
    const std::string known[] = {"%01$RC1", "%01$RC0", "%01$RD640065006600", "%01$WD", "%01!03",
                                 "%01$RC1", "%01$RC1"};
    for (std::size_t i = 0; i < std::size(known); ++i) EXPECT_EQ(answers[true][i], frame(known[i])) << i;
    EXPECT_EQ(answers[true][9].substr(0, 3), "%01");  // a further frame
    EXPECT_EQ(answers[true][12], frame("%01!43"));
    EXPECT_EQ(answers[true][13], frame("%01$RC1"));
    ASSERT_GE(lines[true].size(), 2u);
    EXPECT_EQ(lines[true][0], "Ignore other target frame.");
    EXPECT_EQ(lines[true][1], "Invalid MEW frame: %01#RCSR001000\r");
}

// A handler that the test holds: the stop comes while the reader is inside it.
class Held : public Noting {
public:
    using Noting::Noting;
    bool on_get_coil(std::string_view) override {
        std::unique_lock<std::mutex> lock(mutex);
        entered = true;
        changed.notify_all();
        changed.wait(lock, [this] { return released; });
        return true;
    }
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false, released = false;
};

template <class Station>
void stop_while_the_reader_answers(Station &station, Line &line, std::function<bool()> entered,
                                   std::function<void()> release) {
    station.start();
    line.send(frame("%01#RCSR0010"));
    ASSERT_TRUE(entered());
    auto stopping = std::async(std::launch::async, [&] { station.stop(); });
    EXPECT_EQ(stopping.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    release();
    EXPECT_EQ(stopping.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(line.next(), frame("%01$RC1"));  // the answer in hand still went out
    EXPECT_EQ(station.query_listeners().size(), 0u);
}

TEST_F(Answering, AStopWaitsForTheAnswerInHandWithoutDeadlock) {
    {
        Line line;
        Held station(line.station, true);
        auto wait_entered = [&] {
            std::unique_lock<std::mutex> lock(station.mutex);
            return station.changed.wait_for(lock, std::chrono::seconds(10), [&] { return station.entered; });
        };
        auto release = [&] {
            std::lock_guard<std::mutex> lock(station.mutex);
            station.released = true;
            station.changed.notify_all();
        };
        stop_while_the_reader_answers(station, line, wait_entered, release);
    }
    // The demonstration slave stops its worker first: the worker's queue
    // lets go of the station only once the reader's answer is done.
    struct HeldDemo : mew::RandomMewSlaveDemo {
        using RandomMewSlaveDemo::RandomMewSlaveDemo;
        ~HeldDemo() override { stop(); }
        bool on_get_coil(std::string_view) override {
            std::unique_lock<std::mutex> lock(mutex);
            entered = true;
            changed.notify_all();
            changed.wait(lock, [this] { return released; });
            return true;
        }
        std::mutex mutex;
        std::condition_variable changed;
        bool entered = false, released = false;
    };
    Line line;
    HeldDemo demo(1, line.station);
    stop_while_the_reader_answers(
        demo, line,
        [&] {
            std::unique_lock<std::mutex> lock(demo.mutex);
            return demo.changed.wait_for(lock, std::chrono::seconds(10), [&] { return demo.entered; });
        },
        [&] {
            std::lock_guard<std::mutex> lock(demo.mutex);
            demo.released = true;
            demo.changed.notify_all();
        });
}

}  // namespace
