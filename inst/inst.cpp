#include "inst/inst.h"

#include <string>

#include "base/errors.h"
#include "codec/text.h"

namespace mew {

Inst::Inst(InstStation &mew, std::int64_t station)
    : station_(station), firmware_version_(query_firmware_version(mew, station)) {}

std::int64_t Inst::query_inst_type(InstStation &mew, std::int64_t station) {
    return mew.get_uint16(station, "S0");
}

std::int64_t Inst::query_firmware_version(InstStation &mew, std::int64_t station) {
    return mew.get_uint16(station, "S1");
}

InstXY::InstXY(InstStation &mew, std::int64_t station)
    : Inst(mew, station), x_(mew.get_coil_uint16(station, "WX0")), y_(mew.get_coil_uint16(station, "WY0")) {}

bool InstXY::bit(std::int64_t word, std::int64_t index) {
    if (index < 0) throw ValueError("negative shift count");
    if (index >= 63) return word < 0;
    return (word & (std::int64_t{1} << index)) != 0;
}

std::pair<std::int64_t, std::int64_t> InstXY::locate(std::int64_t flat_index) {
    std::int64_t inst = flat_index >= 0 ? flat_index / kPoints : -((-(flat_index + 1)) / kPoints) - 1;
    return {inst, flat_index - inst * kPoints};
}

void InstXY::set_y(InstStation &mew, std::int64_t index, bool value, bool comparable) {
    if (index < 0) throw ValueError("negative shift count");
    // Beyond bit 15 "Y%X" names a contact of another word ("Y10" is word 1,
    // bit 0): such a write would set a different output than the one asked for.
    if (index >= kPoints) throw ValueError("output point index out of range 0..15: " + std::to_string(index));
    if (!changes_y(index, value, comparable)) return;
    mew.set_coil(station(), "Y" + text::hex(index, 1), value);
    if (value)
        y_ |= std::int64_t{1} << index;
    else
        y_ &= ~(std::int64_t{1} << index);
}

void InstXY::set_wy(InstStation &mew, std::int64_t value) {
    value &= 0xFFFF;
    if (get_wy() == value) return;
    mew.set_coil_uint16(station(), "WY0", value);
    y_ = value;
}

std::pair<std::int64_t, std::int64_t> InstXY::on_update_wx(std::int64_t value) {
    value &= 0xFFFF;
    std::int64_t old = get_wx();
    if (old != value) x_ = value;
    return {value, old};
}

}  // namespace mew
