// Remote I/O instruments: one object per device on the line, its kind found
// from the device's type register.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>

namespace mew {

constexpr int INST_TYPE_UNKNOWN = 0;
constexpr int INST_TYPE_XY = 1;
constexpr int INST_TYPE_Axis = 2;
constexpr int INST_TYPE_AD = 3;

// What an instrument needs of the station it talks through. The station is
// passed to each operation instead of being kept, so an instrument never
// outlives a station it points to.
class InstStation {
public:
    virtual ~InstStation() = default;
    virtual std::int64_t get_uint16(std::int64_t station, std::string_view name) = 0;
    virtual std::int64_t get_coil_uint16(std::int64_t station, std::string_view name) = 0;
    virtual void set_coil(std::int64_t station, std::string_view name, bool value) = 0;
    virtual void set_coil_uint16(std::int64_t station, std::string_view name, std::int64_t value) = 0;
};

class Inst {
public:
    Inst(InstStation &mew, std::int64_t station);
    virtual ~Inst() = default;

    virtual int inst_type() const = 0;
    std::int64_t station() const { return station_; }
    std::int64_t firmware_version() const { return firmware_version_; }

    // The device's "S0" register (its type code) and "S1" (firmware).
    static std::int64_t query_inst_type(InstStation &mew, std::int64_t station);
    static std::int64_t query_firmware_version(InstStation &mew, std::int64_t station);

private:
    std::int64_t station_;
    std::int64_t firmware_version_;
};

class InstUnknown : public Inst {
public:
    using Inst::Inst;
    int inst_type() const override { return INST_TYPE_UNKNOWN; }
};

class InstAxis : public Inst {
public:
    using Inst::Inst;
    int inst_type() const override { return INST_TYPE_Axis; }
};

class InstAD : public Inst {
public:
    using Inst::Inst;
    int inst_type() const override { return INST_TYPE_AD; }
};

// A digital I/O device: 16 inputs ("WX0") and 16 outputs ("WY0"), kept as
// copies. Reads answer from the copies; writes go out only when they change
// something, and the copy follows only a write that succeeded.
class InstXY : public Inst {
public:
    InstXY(InstStation &mew, std::int64_t station);
    int inst_type() const override { return INST_TYPE_XY; }

    bool get_x(std::int64_t index) const { return bit(x_, index); }
    bool get_y(std::int64_t index) const { return bit(y_, index); }
    std::int64_t get_wx() const { return x_; }
    std::int64_t get_wy() const { return y_; }
    // `comparable` is false for a value that equals neither state, which is
    // then always written.
    void set_y(InstStation &mew, std::int64_t index, bool value, bool comparable = true);
    // Whether set_y would write: a value that equals the copy's state of a
    // valid point goes nowhere.
    bool changes_y(std::int64_t index, bool value, bool comparable = true) const {
        return !(comparable && index >= 0 && index < kPoints && value == get_y(index));
    }
    // A point of a flat list of XY instruments: (instrument, point), both
    // rounded down as the host's // and % are.
    static std::pair<std::int64_t, std::int64_t> locate(std::int64_t flat_index);
    static constexpr std::int64_t kPoints = 16;
    void set_wy(InstStation &mew, std::int64_t value);
    // Takes a new input word; returns (new, old).
    std::pair<std::int64_t, std::int64_t> on_update_wx(std::int64_t value);

    std::int64_t x() const { return x_; }
    std::int64_t y() const { return y_; }

private:
    std::int64_t x_;
    std::int64_t y_;

    static bool bit(std::int64_t word, std::int64_t index);
};

}  // namespace mew
