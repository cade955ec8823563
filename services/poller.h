// Data collection on a master: points (a station, an address, a type, a
// period) read again and again in as few commands as allowed, their latest
// values kept in a cache that any thread reads at any moment, and each
// cycle's changes handed to a sink in one batch.
//
// Grouping. Points of one station, one period and one memory area (the
// registers DT, LD, FL; the contact words of X, Y, R, L, through which
// single contacts are read too) are sorted by address and merged greedily:
// a point joins the current command while the command stays within the
// words allowed per command and the unused words between it and the point
// are at most the allowed gap. Points sharing words (the contacts of one
// word, overlapping registers) cost nothing more.
//
// Scheduling. A group (one station, one period) is due every period; the
// thread sleeps until the earliest group is due, then reads every due group
// in one pass: a cycle. Missed periods are skipped, not caught up.
//
// Back-off. A station that does not answer (a time-out, a lost connection:
// any input/output error but a device's error response) costs one time-out:
// its other commands of the pass are skipped, every point of it keeps its
// value with the error set, and it is tried again, with one command, after
// its shortest period, then after twice as long each time it stays silent,
// up to the longest back-off. One silent station is tried per pass, at its
// end: after a time-out the master makes its next query wait for a late
// answer, and that wait then falls into the pause between passes. A
// device's error response is an answer: only the points of that command get
// the error.
//
// Locks. One mutex guards the list of points and the plan; it is held only
// for look-ups and copies, never while the line is used, a plan is made, a
// sink runs or a host's error is described, so a thread holding the host's
// own lock (the GIL) may take it without releasing that lock. The cached
// readings take no lock at all: each point's is a sequence lock that only
// the polling thread writes (services/reading_cell.h), so a read never waits
// for a cycle. The thread is started,
// stopped and joined under a second mutex, except from the thread itself
// (from inside the sink), where stop and close only raise the flag.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <variant>
#include <vector>

#include "base/runtime.h"
#include "master/mew_master.h"

namespace mew {

enum class PointType { kBool, kUint16, kInt16, kUint32, kInt32, kFloat32 };

// "bool", "uint16", "int16", "uint32", "int32" or "float32"; ValueError otherwise.
PointType parse_point_type(std::string_view name);
std::string_view point_type_name(PointType type);
// Words a value of the type takes: 1, or 2 for the 32-bit types.
std::int64_t point_width(PointType type);

struct PointAddress {
    enum Kind { kRegister, kContactWord, kContact };
    Kind kind = kRegister;
    // 'D', 'L', 'F', 'S' for registers DT, LD, FL, S; 'X', 'Y', 'R', 'L' for contacts.
    char area = 'D';
    std::int64_t word = 0;           // register or contact word number
    int bit = 0;                     // single contacts: the bit in their word
    std::int64_t last_word = 99999;  // the last word of the area
};

// An address as parse_address reads it: registers "DT100" (or "D100"),
// "LD5", "FL0", "S0"; contact words "WX0", "WR12"; single contacts "X0010",
// "R1A". Its ValueError for anything else, and one of its own for the
// values of timers and counters, which a poll does not read.
PointAddress parse_point_address(std::string_view address);

// Refuses (ValueError) a type the address cannot hold: a single contact is
// read as bool, and only a single contact is. `width` words from the
// address must exist in its area.
void check_point(const PointAddress &address, PointType type);

using PointValue = std::variant<std::monostate, bool, std::int64_t, double>;

// The value of a point of `type` whose first word is words[offset].
PointValue decode_point(PointType type, int bit, const MewMaster::Words &words, std::size_t offset);

// --- Grouping, on its own for tests ---

struct PointDef {
    std::int64_t station = 0;
    PointAddress address;
    PointType type = PointType::kUint16;
    double period = 1.0;
};

struct ReadCommand {
    std::int64_t station = 0;
    double period = 0;
    PointAddress::Kind kind = PointAddress::kRegister;  // kRegister or kContactWord
    char area = 'D';
    std::int64_t start = 0;
    std::int64_t count = 0;
    std::vector<std::size_t> points;  // indices into the defs
};

// The commands that read every point, in the order of station, period,
// area and address. `max_words` at least 2, `max_gap` at least 0.
std::vector<ReadCommand> plan_reads(const std::vector<PointDef> &points, std::int64_t max_words,
                                    std::int64_t max_gap);

// The address a master reads a command from: "DT100", "LD0", "WX3".
std::string command_address(const ReadCommand &command);

// --- The poller ---

struct PointReading {
    PointValue value;                  // monostate until first read
    double time = 0;                   // when last read, seconds since the epoch; 0 before
    double changed = 0;                // when the value last changed; 0 before
    std::optional<std::string> error;  // the last read's error ("OSError: ..."), none when fine
};

struct PointChange {
    std::string name;
    PointValue value;
    double time = 0;
};

class Poller {
public:
    struct Options {
        std::int64_t max_words = 27;  // words per command unless the master limits them
        std::int64_t max_gap = 4;     // unused words a command may read to save another
        double max_backoff = 30.0;    // longest wait before a silent station is tried again
    };
    // Receives each cycle's changes, on the poller's thread, with no lock
    // of the poller held. What it throws is reported and dropped.
    using Sink = std::function<void(std::vector<PointChange> &&changes)>;
    using MakeThread = std::function<std::unique_ptr<runtime::WorkerThread>(std::function<void()> body)>;

    Poller(std::shared_ptr<MewMaster> master, Options options, Sink sink = {},
           MakeThread make_thread = &runtime::make_std_thread);
    ~Poller();
    Poller(const Poller &) = delete;
    Poller &operator=(const Poller &) = delete;

    // Adds a point and returns its name ("station:address" when none is
    // given). ValueError for a bad address, type, period or a name in use;
    // nothing is added then. Read from the next cycle on.
    std::string add(std::int64_t station, std::string_view address, std::string_view type, double period,
                    std::optional<std::string> name = std::nullopt);
    // False when no point has that name.
    bool remove(const std::string &name);

    void start();  // ValueError once closed; nothing when running
    void stop();   // waits for the thread's end, unless called from it
    void close();  // stops for good; the sink is dropped
    bool running() const;
    bool closed() const { return closed_.load(); }

    // Whether the sink wants the changes (true at first): while false, a
    // cycle compares and keeps the values but hands no changes over.
    void listen(bool wanted);

    // Copies from the cache, which a read never waits for: nothing for an
    // unknown name.
    std::optional<PointReading> reading(const std::string &name) const;
    std::optional<PointValue> value(const std::string &name) const;
    std::vector<std::pair<std::string, PointReading>> snapshot() const;
    std::vector<std::string> names() const;

    // Commands one cycle of every point takes.
    std::int64_t commands_per_cycle() const;
    // Cycles run so far: passes in which any point was due.
    std::uint64_t cycles() const;

    const Options &options() const { return options_; }

private:
    struct Core;
    Options options_;
    std::shared_ptr<Core> core_;
    MakeThread make_thread_;
    runtime::ProcessOwner owner_;
    std::mutex life_mutex_;  // start, stop and the thread object
    std::unique_ptr<runtime::WorkerThread> thread_;
    std::shared_ptr<std::atomic<bool>> stop_token_;  // of the thread in thread_
    std::atomic<bool> running_{false};
    std::atomic<bool> closed_{false};

    bool on_own_thread() const;
};

}  // namespace mew
