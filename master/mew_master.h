// The master that applications use: typed reads and writes of contacts and
// registers, each one exchange through query().
//
// Operations built on another one (get_uint16 on get_multi_uint16, set_int32
// on set_uint32, ...) call it through the virtual, so a subclass that
// replaces the inner operation changes every operation built on it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "link/mew_master_base.h"

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

    // The unsigned 16- and 32-bit forms of signed values; struct.error-like
    // StructError outside the signed range.
    static std::int64_t int16_bits(std::int64_t value);
    static std::int64_t int32_bits(std::int64_t value);
};

}  // namespace mew
