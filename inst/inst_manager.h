// The instrument manager: a full-duplex station that finds the devices on
// its line, stations 1, 2, 3, ... up to the first that does not answer.
#pragma once

#include "inst/inst.h"
#include "station/mew_full_duplex.h"

namespace mew {

// Lets a master's typed operations serve as an instrument's station, through
// the master's virtuals.
class MasterInstStation : public InstStation {
public:
    explicit MasterInstStation(MewMaster &master) : master_(master) {}
    std::int64_t get_uint16(std::int64_t station, std::string_view name) override {
        return master_.get_uint16(station, name);
    }
    std::int64_t get_coil_uint16(std::int64_t station, std::string_view name) override {
        return master_.get_coil_uint16(station, name);
    }
    void set_coil(std::int64_t station, std::string_view name, bool value) override {
        master_.set_coil(station, name, value);
    }
    void set_coil_uint16(std::int64_t station, std::string_view name, std::int64_t value) override {
        master_.set_coil_uint16(station, name, value);
    }

private:
    MewMaster &master_;
};

class InstManager : public MewFullDuplex {
public:
    using MewFullDuplex::MewFullDuplex;

    // Where the scan puts what it finds: creates the instrument of the given
    // kind at a station and keeps it; raises when the device cannot be read.
    class Registry {
    public:
        virtual ~Registry() = default;
        virtual void add(int inst_type, std::int64_t station) = 0;
    };

    // Walks the stations from 1 until one fails; that failure ends the scan
    // quietly (an interruption of the host still propagates).
    void initialize_inst_list(InstStation &station, Registry &registry);
};

}  // namespace mew
