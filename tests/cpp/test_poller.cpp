// The poller: how points are grouped into commands, how addresses and
// values are read, and the thread end to end against simulated devices on
// an in-process line: values follow the memory, a silent station backs off,
// and a stop from the sink or a poller dropped while running ends cleanly.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/errors.h"
#include "master/mew_master.h"
#include "services/poller.h"
#include "simulator/sim_device.h"
#include "simulator/sim_station.h"
#include "transport/fd_channel.h"

namespace {

using mew::PointAddress;
using mew::PointDef;
using mew::PointType;
using mew::ReadCommand;

PointDef def(std::int64_t station, const std::string &address, PointType type = PointType::kUint16,
             double period = 1.0) {
    PointDef p;
    p.station = station;
    p.address = mew::parse_point_address(address);
    p.type = type;
    p.period = period;
    return p;
}

// Each command as "station address count [points]", for readable failures.
std::vector<std::string> describe(const std::vector<ReadCommand> &commands) {
    std::vector<std::string> out;
    for (const ReadCommand &c : commands) {
        std::string s =
            std::to_string(c.station) + " " + mew::command_address(c) + " " + std::to_string(c.count);
        for (std::size_t i : c.points) s += " " + std::to_string(i);
        out.push_back(s);
    }
    return out;
}

// --- Grouping ---

TEST(PollerPlan, NeighboursShareACommandAndAGapUpToTheLimitIsRead) {
    // DT0, DT1 and DT3 (one word unused); DT9 is five words past DT3's end.
    std::vector<PointDef> points = {def(1, "DT3"), def(1, "DT0"), def(1, "DT1"), def(1, "DT9")};
    EXPECT_EQ(describe(mew::plan_reads(points, 27, 4)),
              (std::vector<std::string>{"1 DT0 4 1 2 0", "1 DT9 1 3"}));
    EXPECT_EQ(describe(mew::plan_reads(points, 27, 5)), (std::vector<std::string>{"1 DT0 10 1 2 0 3"}));
    EXPECT_EQ(describe(mew::plan_reads(points, 27, 0)),
              (std::vector<std::string>{"1 DT0 2 1 2", "1 DT3 1 0", "1 DT9 1 3"}));
}

TEST(PollerPlan, ACommandHoldsAtMostMaxWordsAndNeverCutsA32BitValue) {
    std::vector<PointDef> points;
    for (int i = 0; i < 25; ++i) points.push_back(def(1, "DT" + std::to_string(i)));
    points.push_back(def(1, "DT26", PointType::kFloat32));  // DT26..27: one beyond 27 words from DT0
    points.push_back(def(1, "DT28", PointType::kInt32));
    std::vector<ReadCommand> plan = mew::plan_reads(points, 27, 4);
    ASSERT_EQ(plan.size(), 2u);
    EXPECT_EQ(plan[0].start, 0);
    EXPECT_EQ(plan[0].count, 25);
    EXPECT_EQ(plan[1].start, 26);
    EXPECT_EQ(plan[1].count, 4);
    // Sixty neighbours at 27 a command: three commands, none longer.
    points.clear();
    for (int i = 0; i < 60; ++i) points.push_back(def(2, "LD" + std::to_string(100 + i)));
    plan = mew::plan_reads(points, 27, 4);
    ASSERT_EQ(plan.size(), 3u);
    EXPECT_EQ(describe({plan[2]}).front().substr(0, 12), "2 LD154 6 54");
    for (const ReadCommand &c : plan) EXPECT_LE(c.count, 27);
}

TEST(PollerPlan, StationsAreasAndPeriodsGoInCommandsOfTheirOwn) {
    std::vector<PointDef> points = {
        def(1, "DT0"),
        def(2, "DT1"),  // two stations
        def(1, "LD1"),
        def(1, "FL2"),  // other register areas
        def(1, "WL3"),
        def(1, "L0035", PointType::kBool),       // contacts L, not registers LD
        def(1, "DT2", PointType::kUint16, 0.5),  // another period
    };
    EXPECT_EQ(describe(mew::plan_reads(points, 27, 4)),
              (std::vector<std::string>{"1 DT2 1 6", "1 DT0 1 0", "1 FL2 1 3", "1 LD1 1 2", "1 WL3 1 4 5",
                                        "2 DT1 1 1"}));
}

TEST(PollerPlan, SingleContactsAreReadThroughTheirWords) {
    std::vector<PointDef> points = {def(3, "X0010", PointType::kBool), def(3, "X001F", PointType::kBool),
                                    def(3, "X0020", PointType::kBool), def(3, "WX2"),
                                    def(3, "Y0010", PointType::kBool), def(3, "R5", PointType::kBool)};
    std::vector<ReadCommand> plan = mew::plan_reads(points, 27, 4);
    EXPECT_EQ(describe(plan), (std::vector<std::string>{"3 WR0 1 5", "3 WX1 2 0 1 2 3", "3 WY1 1 4"}));
    for (const ReadCommand &c : plan) EXPECT_EQ(c.kind, PointAddress::kContactWord);
}

TEST(PollerPlan, LimitsAreChecked) {
    EXPECT_THROW(mew::plan_reads({}, 1, 4), mew::ValueError);
    EXPECT_THROW(mew::plan_reads({}, 27, -1), mew::ValueError);
    EXPECT_TRUE(mew::plan_reads({}, 27, 4).empty());
}

// --- Addresses, types and values ---

TEST(PollerPoints, AddressesOfEveryArea) {
    PointAddress a = mew::parse_point_address("DT100");
    EXPECT_EQ(a.kind, PointAddress::kRegister);
    EXPECT_EQ(a.area, 'D');
    EXPECT_EQ(a.word, 100);
    EXPECT_EQ(mew::parse_point_address("D7").word, 7);
    EXPECT_EQ(mew::parse_point_address("ld5").area, 'L');
    EXPECT_EQ(mew::parse_point_address("FL0").area, 'F');
    a = mew::parse_point_address("WY12");
    EXPECT_EQ(a.kind, PointAddress::kContactWord);
    EXPECT_EQ(a.area, 'Y');
    EXPECT_EQ(a.word, 12);
    a = mew::parse_point_address("R123A");
    EXPECT_EQ(a.kind, PointAddress::kContact);
    EXPECT_EQ(a.area, 'R');
    EXPECT_EQ(a.word, 123);
    EXPECT_EQ(a.bit, 10);
    a = mew::parse_point_address("Y5");
    EXPECT_EQ(a.word, 0);
    EXPECT_EQ(a.bit, 5);
    for (const char *bad : {"", "DT", "DT-1", "DT100000", "WX10000", "WZ1", "X12345", "XG", "Q1", "DT1.5",
                            "W", "SV0", "D T1", "DX100"})
        EXPECT_THROW(mew::parse_point_address(bad), mew::ValueError) << bad;
}

TEST(PollerPoints, TypesFitTheirAddresses) {
    EXPECT_EQ(mew::parse_point_type("float32"), PointType::kFloat32);
    EXPECT_THROW(mew::parse_point_type("float"), mew::ValueError);
    EXPECT_THROW(mew::check_point(mew::parse_point_address("X0010"), PointType::kUint16), mew::ValueError);
    EXPECT_THROW(mew::check_point(mew::parse_point_address("DT0"), PointType::kBool), mew::ValueError);
    EXPECT_THROW(mew::check_point(mew::parse_point_address("DT99999"), PointType::kUint32), mew::ValueError);
    EXPECT_NO_THROW(mew::check_point(mew::parse_point_address("DT99998"), PointType::kFloat32));
    EXPECT_NO_THROW(mew::check_point(mew::parse_point_address("WX9999"), PointType::kInt16));
}

TEST(PollerPoints, ValuesFromWords) {
    const mew::MewMaster::Words words = {0xFFFE, 0x0000, 0x3FC0, 0xFFFF, 0x8000};
    EXPECT_EQ(std::get<std::int64_t>(mew::decode_point(PointType::kUint16, 0, words, 0)), 0xFFFE);
    EXPECT_EQ(std::get<std::int64_t>(mew::decode_point(PointType::kInt16, 0, words, 0)), -2);
    EXPECT_EQ(std::get<std::int64_t>(mew::decode_point(PointType::kUint32, 0, words, 3)), 0x8000FFFFLL);
    EXPECT_EQ(std::get<std::int64_t>(mew::decode_point(PointType::kInt32, 0, words, 3)), -2147418113LL);
    EXPECT_EQ(std::get<double>(mew::decode_point(PointType::kFloat32, 0, words, 1)), 1.5);
    EXPECT_TRUE(std::get<bool>(mew::decode_point(PointType::kBool, 1, words, 0)));
    EXPECT_FALSE(std::get<bool>(mew::decode_point(PointType::kBool, 0, words, 0)));
    EXPECT_THROW(mew::decode_point(PointType::kInt32, 0, words, 4), mew::IOError);
}

// --- End to end ---

using Clock = std::chrono::steady_clock;

bool eventually(const std::function<bool()> &condition, double seconds = 20) {
    const auto until = Clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (Clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// A master that counts the reads it makes of each station.
class CountingMaster : public mew::MewMaster {
public:
    using MewMaster::MewMaster;
    Words get_multi_uint16(std::int64_t station, std::string_view name, std::int64_t count) override {
        count_read(station);
        return MewMaster::get_multi_uint16(station, name, count);
    }
    Words get_multi_coil_uint16(std::int64_t station, std::string_view name, std::int64_t count) override {
        count_read(station);
        return MewMaster::get_multi_coil_uint16(station, name, count);
    }
    std::int64_t reads(std::int64_t station) {
        std::lock_guard<std::mutex> lock(mutex_);
        return reads_[station];
    }

private:
    std::mutex mutex_;
    std::map<std::int64_t, std::int64_t> reads_;
    void count_read(std::int64_t station) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++reads_[station];
    }
};

// Simulated devices on one end of a socket pair, a master on the other.
struct Bench {
    int fds[2] = {-1, -1};
    std::unique_ptr<mew::SimStation> sim;
    std::shared_ptr<CountingMaster> master;
    std::map<std::int64_t, std::shared_ptr<mew::SimDevice>> devices;

    explicit Bench(std::vector<std::int64_t> stations, double query_timeout = 1.0) {
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) throw std::runtime_error("socketpair");
        sim = std::make_unique<mew::SimStation>(std::make_shared<mew::FdChannel>(fds[1], 0.05));
        for (std::int64_t s : stations) {
            devices[s] = std::make_shared<mew::SimDevice>(s);
            sim->add_device(devices[s]);
        }
        sim->start();
        master =
            std::make_shared<CountingMaster>(std::make_shared<mew::FdChannel>(fds[0], 0.05), query_timeout);
        master->start();
    }
    ~Bench() {
        master->close();
        sim->close();
        ::close(fds[0]);
        ::close(fds[1]);
    }
};

std::int64_t int_value(const mew::Poller &poller, const std::string &name) {
    std::optional<mew::PointValue> v = poller.value(name);
    if (!v || !std::holds_alternative<std::int64_t>(*v)) return -1;
    return std::get<std::int64_t>(*v);
}

TEST(PollerRun, CachedValuesFollowTheDevicesAndChangesComeInBatches) {
    Bench bench({1, 2});
    std::mutex mutex;
    std::vector<std::vector<mew::PointChange>> batches;
    mew::Poller poller(bench.master, {}, [&](std::vector<mew::PointChange> &&changes) {
        std::lock_guard<std::mutex> lock(mutex);
        batches.push_back(std::move(changes));
    });
    for (int i = 0; i < 40; ++i) poller.add(1 + i % 2, "DT" + std::to_string(i), "uint16", 0.02);
    poller.add(1, "DT100", "float32", 0.02, "f");
    poller.add(2, "R0012", "bool", 0.02, "r");
    EXPECT_EQ(poller.commands_per_cycle(), 6);  // DT0..38 and DT100 on 1 (two at 27), DT1..39 and WR1 on 2
    bench.devices[1]->write(mew::SimArea::kDT, 100, {0x0000, 0x3FC0});  // 1.5
    poller.start();
    for (int round = 1; round <= 3; ++round) {
        for (int i = 0; i < 40; ++i) bench.devices[1 + i % 2]->write(mew::SimArea::kDT, i, {round * 100 + i});
        bench.devices[2]->set_contact(mew::SimArea::kR, 0x12, round % 2 == 1);
        EXPECT_TRUE(eventually([&] {
            for (int i = 0; i < 40; ++i)
                if (int_value(poller, std::to_string(1 + i % 2) + ":DT" + std::to_string(i)) !=
                    round * 100 + i)
                    return false;
            auto r = poller.value("r");
            return r && std::holds_alternative<bool>(*r) && std::get<bool>(*r) == (round % 2 == 1);
        })) << "round "
            << round;
    }
    EXPECT_EQ(std::get<double>(*poller.value("f")), 1.5);
    // A point added while running is read (R0012 is bit 2 of WR1); one removed is gone.
    poller.add(2, "WR1", "uint16", 0.02, "wr1");
    EXPECT_TRUE(eventually([&] { return int_value(poller, "wr1") == 4; }));
    EXPECT_TRUE(poller.remove("f"));
    EXPECT_FALSE(poller.remove("f"));
    EXPECT_FALSE(poller.value("f").has_value());
    poller.stop();
    EXPECT_FALSE(poller.running());
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_FALSE(batches.empty());
    // The first batch holds the first value of every point read in that cycle.
    std::size_t total = 0;
    for (const auto &b : batches) total += b.size();
    EXPECT_GE(total, 42u + 2 * 41u);
    const mew::PointReading reading = *poller.reading("1:DT0");
    EXPECT_FALSE(reading.error.has_value());
    EXPECT_GT(reading.time, 0);
    EXPECT_GE(reading.time, reading.changed);
}

TEST(PollerRun, ASilentStationCostsOneTimeOutPerBackOffStep) {
    Bench bench({1}, 0.05);
    mew::Poller::Options options;
    options.max_backoff = 30;
    mew::Poller poller(bench.master, options);
    poller.add(1, "DT0", "uint16", 0.01, "healthy");
    poller.add(9, "DT0", "uint16", 0.01, "silent");  // no device answers for station 9
    poller.add(9, "DT500", "uint16", 0.01, "silent too");
    poller.start();
    ASSERT_TRUE(eventually([&] { return poller.cycles() >= 100; }));
    poller.stop();
    const std::int64_t cycles = static_cast<std::int64_t>(poller.cycles());
    const std::int64_t silent = bench.master->reads(9), healthy = bench.master->reads(1);
    // Every cycle read the healthy station; the silent one was tried once
    // per back-off step, its period doubling each time: about log2 of the
    // cycles, never once a cycle, and never both of its commands.
    EXPECT_GE(healthy, cycles - 1);
    EXPECT_GE(silent, 2);
    EXPECT_LE(silent, static_cast<std::int64_t>(std::log2(static_cast<double>(cycles))) + 4);
    const mew::PointReading s = *poller.reading("silent");
    ASSERT_TRUE(s.error.has_value());
    EXPECT_NE(s.error->find("timeout"), std::string::npos) << *s.error;
    EXPECT_TRUE(poller.reading("silent too")->error.has_value());
    EXPECT_FALSE(poller.reading("healthy")->error.has_value());
    EXPECT_EQ(int_value(poller, "healthy"), 0);
}

TEST(PollerRun, StopAndCloseFromTheSinkOrAnotherThreadAndADropWhileRunning) {
    Bench bench({1});
    std::atomic<int> calls{0};
    std::unique_ptr<mew::Poller> poller;
    poller = std::make_unique<mew::Poller>(bench.master, mew::Poller::Options{},
                                           [&](std::vector<mew::PointChange> &&) {
                                               ++calls;
                                               poller->stop();  // from its own thread: no wait for itself
                                           });
    poller->add(1, "DT0", "uint16", 0.01);
    poller->start();
    ASSERT_TRUE(eventually([&] { return !poller->running() && calls.load() == 1; }));
    // Started again from here, after the thread that stopped itself ended.
    bench.devices[1]->write(mew::SimArea::kDT, 0, {1});
    poller->start();
    ASSERT_TRUE(eventually([&] { return calls.load() == 2; }));
    std::thread other([&] { poller->close(); });
    other.join();
    EXPECT_TRUE(poller->closed());
    EXPECT_THROW(poller->start(), mew::ValueError);
    // Dropped while running, with the line busy.
    for (int i = 0; i < 5; ++i) {
        auto running = std::make_unique<mew::Poller>(bench.master, mew::Poller::Options{});
        for (int k = 0; k < 50; ++k) running->add(1, "DT" + std::to_string(k * 30), "uint16", 0.001);
        running->start();
        std::this_thread::sleep_for(std::chrono::milliseconds(i * 3));
        running.reset();
    }
    // The master still answers.
    EXPECT_EQ(bench.master->get_uint16(1, "DT0"), 1);
}

// A thread whose start() comes back only once `back` is set: the thread it
// started may have run a cycle, and its sink stopped the poller, by then.
class SlowToComeBack : public mew::runtime::WorkerThread {
public:
    SlowToComeBack(std::function<void()> body, std::shared_future<void> back)
        : inner_(mew::runtime::make_std_thread(std::move(body))), back_(std::move(back)) {}
    void start() override {
        inner_->start();
        back_.wait_for(std::chrono::seconds(10));  // a failing test ends, not hangs
    }
    void join() override { inner_->join(); }

private:
    std::unique_ptr<mew::runtime::WorkerThread> inner_;
    std::shared_future<void> back_;
};

TEST(PollerRun, AStopFromTheSinkBeforeStartReturnsLeavesThePollerStopped) {
    Bench bench({1});
    std::promise<void> stopped;
    std::shared_future<void> back = stopped.get_future().share();
    std::unique_ptr<mew::Poller> poller;
    poller = std::make_unique<mew::Poller>(
        bench.master, mew::Poller::Options{},
        [&](std::vector<mew::PointChange> &&) {
            poller->stop();
            stopped.set_value();
        },
        [&](std::function<void()> body) { return std::make_unique<SlowToComeBack>(std::move(body), back); });
    poller->add(1, "DT0", "uint16", 0.01);
    poller->start();
    EXPECT_FALSE(poller->running());
    // Started again, it runs.
    poller->start();
    EXPECT_TRUE(poller->running());
    poller->close();
}

}  // namespace

namespace {

double wall_now() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// A device whose every word is the number of its answer, n (every seventh
// a device's error instead), with when each answer was given: the reading
// of answer n has a time from T(n) up to T(n + 1), the poller reading
// nothing else in between.
class CountingDevice : public mew::MewMaster {
public:
    static constexpr std::int64_t kAnswers = 1 << 16;
    using MewMaster::MewMaster;
    Words get_multi_uint16(std::int64_t, std::string_view, std::int64_t count) override {
        const std::int64_t n = answers_.load() + 1;
        if (n >= kAnswers) throw mew::IOError("enough");
        times_[n] = wall_now();
        answers_ = n;
        if (n % 7 == 0) throw mew::DeviceError("61");
        return Words(static_cast<std::size_t>(count), n);
    }
    std::int64_t answers() const { return answers_.load(); }
    double time(std::int64_t n) const { return times_[n].load(); }

private:
    std::atomic<std::int64_t> answers_{0};
    std::unique_ptr<std::atomic<double>[]> times_ { new std::atomic<double>[ kAnswers + 1 ]() };
};

TEST(PollerCache, ReadsDuringPollingSeeOnlyWholeReadingsTheDeviceGave) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    auto device = std::make_shared<CountingDevice>(std::make_shared<mew::FdChannel>(fds[0], 0.05), 1.0);
    mew::Poller poller(device, {});
    poller.add(1, "DT0", "uint32", 1e-6, "u32");
    poller.add(1, "DT2", "uint16", 1e-6, "u16");
    struct Seen {
        std::int64_t value;
        double time, changed;
        bool error;
    };
    std::vector<std::vector<Seen>> seen(3);
    std::atomic<bool> done{false};
    std::vector<std::thread> readers;
    for (std::size_t r = 0; r < seen.size(); ++r)
        readers.emplace_back([&, r] {
            while (!done.load() && seen[r].size() < 200000) {
                for (const auto &[name, reading] :
                     r == 0 ? poller.snapshot()
                            : std::vector<std::pair<std::string, mew::PointReading>>{
                                  {"u32", *poller.reading("u32")}}) {
                    if (name != "u32" || !std::holds_alternative<std::int64_t>(reading.value)) continue;
                    seen[r].push_back({std::get<std::int64_t>(reading.value), reading.time, reading.changed,
                                       reading.error.has_value()});
                }
            }
        });
    poller.start();
    EXPECT_TRUE(eventually([&] { return device->answers() >= 20000; }));
    done = true;
    for (auto &t : readers) t.join();
    poller.stop();
    const std::int64_t last = device->answers();
    std::size_t checked = 0;
    for (const auto &reader : seen)
        for (const Seen &s : reader) {
            // Both words from one answer n, and the times of that answer.
            const std::int64_t n = s.value & 0xFFFF;
            ASSERT_EQ(s.value, n * 65537) << "words of two answers";
            ASSERT_GT(n, 0);
            ASSERT_NE(n % 7, 0);
            ASSERT_EQ(s.changed, s.time) << "every answer changes the value";
            ASSERT_GE(s.time, device->time(n)) << "answer " << n;
            if (n + 1 <= last) {
                ASSERT_LT(s.time, device->time(n + 1)) << "answer " << n;
            }
            // An error is the next answer's, which left the value as it was.
            if (s.error) {
                ASSERT_EQ((n + 1) % 7, 0) << "answer " << n;
            }
            ++checked;
        }
    EXPECT_GT(checked, 1000u);
    ::close(fds[0]);
    ::close(fds[1]);
}

}  // namespace
