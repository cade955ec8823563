// The master that applications use: typed reads and writes of contacts and
// registers, each one exchange through query().
//
// Operations built on another one (get_uint16 on get_multi_uint16, set_int32
// on set_uint32, ...) call it through the virtual, so a subclass that
// replaces the inner operation changes every operation built on it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "codec/long_frames.h"
#include "codec/plc_commands.h"
#include "link/mew_master_base.h"
#include "master/prepared_commands.h"

namespace mew {

class MewMaster : public MewMasterBase {
public:
    using Words = std::vector<std::int64_t>;
    using MewMasterBase::MewMasterBase;

    virtual bool get_coil(std::int64_t station, std::string_view name);
    virtual std::int64_t get_coil_uint16(std::int64_t station, std::string_view name);
    virtual Words get_multi_coil_uint16(std::int64_t station, std::string_view name, std::int64_t count);
    virtual std::int64_t get_uint16(std::int64_t station, std::string_view name);
    virtual Words get_multi_uint16(std::int64_t station, std::string_view name, std::int64_t count);
    virtual std::int64_t get_int16(std::int64_t station, std::string_view name);
    virtual std::int64_t get_uint32(std::int64_t station, std::string_view name);
    virtual std::int64_t get_int32(std::int64_t station, std::string_view name);
    virtual Words get_multi_uint32(std::int64_t station, std::string_view name, std::int64_t count);
    virtual Words get_multi_int32(std::int64_t station, std::string_view name, std::int64_t count);

    virtual void set_coil(std::int64_t station, std::string_view name, bool value);
    virtual void set_coil_uint16(std::int64_t station, std::string_view name, std::int64_t value);
    virtual void set_multi_coil_uint16(std::int64_t station, std::string_view name, const Words &values);
    virtual void set_uint16(std::int64_t station, std::string_view name, std::int64_t value);
    virtual void set_multi_uint16(std::int64_t station, std::string_view name, const Words &values);
    // Any value: only its low 32 bits are written.
    virtual void set_uint32(std::int64_t station, std::string_view name, std::int64_t value);
    virtual void set_int16(std::int64_t station, std::string_view name, std::int64_t value);
    virtual void set_int32(std::int64_t station, std::string_view name, std::int64_t value);
    virtual void set_multi_int16(std::int64_t station, std::string_view name, const Words &values);
    virtual void set_multi_uint32(std::int64_t station, std::string_view name, const Words &values);
    virtual void set_multi_int32(std::int64_t station, std::string_view name, const Words &values);

    // IEEE 754 singles in two registers, low word first. NaN and the
    // infinities are refused before anything is sent (ValueError).
    virtual double get_float32(std::int64_t station, std::string_view name);
    virtual std::vector<double> get_multi_float32(std::int64_t station, std::string_view name,
                                                  std::int64_t count);
    virtual void set_float32(std::int64_t station, std::string_view name, double value);
    virtual void set_multi_float32(std::int64_t station, std::string_view name,
                                   const std::vector<double> &values);

    // One to eight single contacts in one command.
    virtual std::vector<bool> get_coils(std::int64_t station, const std::vector<std::string> &names);
    virtual void set_coils(std::int64_t station, const std::vector<std::pair<std::string, bool>> &contacts);

    virtual frames::PlcStatus get_status(std::int64_t station);

    // Timer/counter set values (presets) and elapsed values, from number `start`.
    virtual Words get_preset_values(std::int64_t station, std::int64_t start, std::int64_t count);
    virtual void set_preset_values(std::int64_t station, std::int64_t start, const Words &values);
    virtual Words get_elapsed_values(std::int64_t station, std::int64_t start, std::int64_t count);
    virtual void set_elapsed_values(std::int64_t station, std::int64_t start, const Words &values);

    // The unsigned 16- and 32-bit forms of signed values; struct.error-like
    // StructError outside the signed range.
    static std::int64_t int16_bits(std::int64_t value);
    static std::int64_t int32_bits(std::int64_t value);

    // How this master writes its commands. With a frame limit a write that
    // does not fit one frame goes as several commands, one after the other:
    // it is not atomic, and a failure leaves the parts before it written.
    // With max_read_words a longer read goes as several commands too.
    frames::LineFormat format() const;
    void set_frame_limit(std::int64_t limit);
    void set_max_read_words(std::int64_t words);
    void set_decimal_stations(bool decimal) { decimal_stations_ = decimal; }

    enum AddressKind { kRegisters, kContactWords, kTimers };

protected:
    // The station field of a command to `station`, in this master's
    // numbering; ValueError for a negative station.
    std::int64_t field(std::int64_t station) const;
    // `name`, or ValueError when it is empty (before anything is built).
    static std::string_view named(std::string_view name);
    // Sends a built command under this master's header, through query().
    std::string ask(std::string_view command);

private:
    std::atomic<std::int64_t> frame_limit_{frames::kNoFrameLimit};
    std::atomic<std::int64_t> max_read_words_{0};
    std::atomic<bool> decimal_stations_{false};
    // The frames of the last reads, which a loop asks for again and again.
    PreparedCommands prepared_;

    // `read(first, count)` reads one part; no part but the first of a
    // read that is split is more than a view of `name`.
    template <class ReadPart>
    Words read_in_parts(std::string_view name, std::int64_t count, AddressKind kind, const ReadPart &read);
    // `build(first, values)` builds the command of one part.
    template <class BuildPart>
    void write_in_parts(std::string_view name, const Words &values, AddressKind kind, const BuildPart &build);
    Words read_timers(std::int64_t station, std::string_view code, std::int64_t start, std::int64_t count);
    void write_timers(std::int64_t station, std::string_view code, std::int64_t start, const Words &values);
};

}  // namespace mew
