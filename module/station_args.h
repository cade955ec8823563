// One place that reads a station constructor's arguments: the channel (one
// positional argument, or channel=) with the serial settings as keywords,
// query_timeout for a master, slave_station for a full-duplex station.
// Everything is checked before the port is opened.
#pragma once

#include <memory>
#include <type_traits>

#include "base/errors.h"
#include "module/link_trampolines.h"
#include "station/mew_full_duplex.h"

namespace mew::py_boundary {

// `leading`: arguments the C++ constructor takes before the channel (the
// demonstration slave's station number).
template <class Station, class... Leading>
std::unique_ptr<Station> make_station(const char *cls, py::args args, py::kwargs kwargs, Leading... leading) {
    constexpr bool kFullDuplex = std::is_base_of_v<MewFullDuplex, Station>;
    constexpr bool kMaster = std::is_base_of_v<MewMasterBase, Station>;
    std::int64_t slave_station = 1;
    if (kFullDuplex && kwargs.contains("slave_station")) {
        slave_station = int64(kwargs["slave_station"]);
        if (slave_station < 1) throw AssertionFailure();
        PyDict_DelItemString(kwargs.ptr(), "slave_station");
    }
    py::object timeout = kMaster ? pop_query_timeout(kwargs) : py::object();
    const double seconds = kMaster ? timeout_seconds(timeout) : 0.0;
    StationChannel ch = make_channel(take_channel(cls, args, kwargs), kwargs);
    std::unique_ptr<Station> station;
    if constexpr (kFullDuplex)
        station = std::make_unique<Station>(ch.channel, seconds, slave_station);
    else if constexpr (kMaster)
        station = std::make_unique<Station>(ch.channel, seconds);
    else
        station = std::make_unique<Station>(leading..., ch.channel);
    station->channel_object = ch.object;
    station->query_timeout_object = timeout;
    return station;
}

}  // namespace mew::py_boundary
