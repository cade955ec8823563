// The memory of one simulated device, and the slave that answers a master's
// commands from it: contacts X, Y, R, L (16 to a word), registers DT, LD, FL
// and the system registers S, the set and elapsed values of timers and
// counters, and the controller's status.
//
// Without PLC mode a device answers as any slave of this library: the six
// contact and register commands through its handlers, which read and write
// the memory. In PLC mode it answers as a controller does: the commands of
// full controllers too (RCP, WCP, RT, RS, WS, RK, WK), and a device error for
// what it cannot serve: 40 a wrong check code, 41 a field it cannot read,
// 42 a command it does not know, 61 an area or range it does not have.
//
// Either way a device can be made to fail as a whole, from any thread and at
// once for the next frame: a silent device answers nothing at all, as one
// switched off (its memory stays at hand), and a device with an error code
// answers every command addressed to it with that device error. Silence
// wins over an error code.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "codec/frames.h"
#include "codec/plc_commands.h"
#include "link/mew_slave_base.h"

namespace mew {

// The memory areas of a device. Contacts are kept as words of 16.
enum class SimArea { kX, kY, kR, kL, kDT, kLD, kFL, kS, kSV, kEV };
constexpr std::size_t kSimAreaCount = 10;

// Words of one area, sparse: pages of 256 words come into being when a word
// in them is first set to anything but zero.
class PagedWords {
public:
    std::uint16_t get(std::int64_t index) const;
    void set(std::int64_t index, std::uint16_t value);

private:
    static constexpr int kPageBits = 8;
    using Page = std::array<std::uint16_t, std::size_t{1} << kPageBits>;
    std::unordered_map<std::int64_t, std::unique_ptr<Page>> pages_;
};

class SimDevice : public MewSlaveBase {
public:
    // Told after a master's read or write: the area ("X" single contacts by
    // point number, "WX" contact words, "DT" "LD" "FL" "S" registers, "SV"
    // "EV" timer values), the first point, word or register, and the values.
    using Observer = std::function<void(std::string_view area, std::int64_t start, const Words &values)>;

    // Words each area holds: every word its address fields can name.
    static constexpr std::int64_t kContactWords = 10000;
    static constexpr std::int64_t kRegisters = 100000;
    static constexpr std::int64_t kTimers = 10000;
    // In PLC mode commands reach contact words 0..999, as the single-contact
    // fields do (three word digits); a range beyond is a data error (61).
    static constexpr std::int64_t kPlcContactWords = 1000;

    explicit SimDevice(std::int64_t station);

    // Areas by the names a user gives them: contact words "X" (or "WX"),
    // registers "DT" (or "D"), "LD" (or "L"), "FL" (or "F"), "S", timer
    // values "SV" and "EV". ValueError for any other name.
    static SimArea contact_area(std::string_view name);
    static SimArea word_area(std::string_view name);
    static std::int64_t area_size(SimArea area);
    // "WX", "DT", "SV": the area's name as an observer is told it.
    static std::string_view area_name(SimArea area);

    // The memory, from any thread. ValueError for a range outside the area.
    Words read(SimArea area, std::int64_t start, std::int64_t count) const;
    // Values are kept as their low 16 bits.
    void write(SimArea area, std::int64_t start, const Words &values);
    bool contact(SimArea area, std::int64_t point) const;
    void set_contact(SimArea area, std::int64_t point, bool value);
    frames::PlcStatus status() const;
    void set_status(const frames::PlcStatus &status);

    // Write commands served so far.
    std::int64_t writes() const { return writes_.load(); }
    void set_writes(std::int64_t writes) { writes_ = writes; }

    bool plc() const { return plc_.load(); }
    void set_plc(bool plc) { plc_ = plc; }

    bool silent() const { return silent_.load(); }
    void set_silent(bool silent) { silent_ = silent; }
    // 0 answers as usual; 1..99 answers every well-formed command and every
    // request for a next frame with that code, and drops the transfer on the
    // line at once (a client's, at its next frame). ValueError outside 0..99.
    std::int64_t error_code() const { return error_code_.load(); }
    void set_error_code(std::int64_t code);

    // As any slave answers, silence and the error code first.
    using MewSlaveBase::answer;
    std::string answer(std::string_view frame, Transfer &transfer) override;

    // An empty observer is none: then serving never leaves C++.
    void set_write_observer(Observer observer);
    void set_read_observer(Observer observer);
    // An observer may be a host's code: a device that has one is answered
    // off the thread that reads the line.
    bool native_answers() const override { return observers_.load(std::memory_order_relaxed) == 0; }

    std::string process_request(std::string_view command) override;

    // The handlers read and write the memory; the name is the frame's field
    // ("R0010", "X0000", "D00100").
    bool on_get_coil(std::string_view name) override;
    void on_set_coil(std::string_view name, bool value) override;
    Words on_get_multi_coil_uint16(std::string_view name, std::int64_t count) override;
    void on_set_multi_coil_uint16(std::string_view name, const Words &values) override;
    Words on_get_multi_uint16(std::string_view name, std::int64_t count) override;
    void on_set_multi_uint16(std::string_view name, const Words &values) override;

private:
    using SharedObserver = std::shared_ptr<const Observer>;

    mutable std::mutex memory_mutex_;
    std::array<PagedWords, kSimAreaCount> memory_;
    frames::PlcStatus status_;

    std::mutex observer_mutex_;
    SharedObserver write_observer_;
    SharedObserver read_observer_;
    std::atomic<int> observers_{0};  // how many of the two are set

    std::atomic<std::int64_t> writes_{0};
    std::atomic<bool> plc_{false};
    std::atomic<bool> silent_{false};
    std::atomic<std::int64_t> error_code_{0};

    std::string plc_request(std::string_view frame);
    std::string serve_contacts(const frames::Command &c, std::string_view head, std::string_view body);
    std::string serve_ranges(const frames::Command &c, std::string_view head, std::string_view body);

    Words read_unlocked(SimArea area, std::int64_t start, std::int64_t count) const;
    void write_unlocked(SimArea area, std::int64_t start, const Words &values);
    SharedObserver observer(const SharedObserver &slot);
    void told_read(std::string_view area, std::int64_t start, const Words &values);
    void told_write(std::string_view area, std::int64_t start, const Words &values);
};

}  // namespace mew
