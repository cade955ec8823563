// One place that reads a station constructor's arguments: the channel (one
// positional argument, or channel=) with the serial settings as keywords,
// query_timeout for a master, slave_station for a full-duplex station.
// Everything is checked before the port is opened.
#pragma once

#include <memory>
#include <type_traits>

#include "base/errors.h"
#include "codec/long_frames.h"
#include "module/station_trampolines.h"
#include "station/mew_full_duplex.h"
#include "transport/tcp_channel.h"

namespace mew::py_boundary {

// The line format a station is built with or given later: a master's and a
// slave's halves alike, both for a full-duplex station.
template <class S>
void set_frame_limit(S &s, py::handle value) {
    const std::int64_t limit = value.is_none() ? 0 : int64(value);
    frames::check_frame_limit(limit);
    if constexpr (std::is_base_of_v<MewMaster, S>) s.MewMaster::set_frame_limit(limit);
    if constexpr (std::is_base_of_v<MewSlaveBase, S>) s.MewSlaveBase::set_frame_limit(limit);
}
template <class S>
void set_decimal_stations(S &s, py::handle value) {
    const bool decimal = truth(value);
    if constexpr (std::is_base_of_v<MewMaster, S>) s.MewMaster::set_decimal_stations(decimal);
    if constexpr (std::is_base_of_v<MewSlaveBase, S>) s.MewSlaveBase::set_decimal_stations(decimal);
}
template <class S>
std::int64_t frame_limit_of(const S &s) {
    if constexpr (std::is_base_of_v<MewMaster, S>)
        return s.MewMaster::format().frame_limit;
    else
        return s.MewSlaveBase::frame_limit();
}
template <class S>
bool decimal_stations_of(const S &s) {
    if constexpr (std::is_base_of_v<MewMaster, S>)
        return s.MewMaster::format().decimal_stations;
    else
        return s.MewSlaveBase::decimal_stations();
}

// frame_limit, decimal_stations and, for a master, max_read_words, as
// attributes of the Python class.
template <class Cls>
void bind_line_format(Cls &cls) {
    using S = typename Cls::type;
    cls.def_property(
        "frame_limit", [](const S &s) { return frame_limit_of(s); },
        [](S &s, py::handle v) { set_frame_limit(s, v); },
        "Longest frame in characters with CR: 0 (none, the default), 118 (\"%\" header) or 2048 (\"<\" "
        "header).");
    cls.def_property(
        "decimal_stations", [](const S &s) { return decimal_stations_of(s); },
        [](S &s, py::handle v) { set_decimal_stations(s, v); },
        "Stations written in decimal, 01..99 (and EE), as controllers number them.");
    if constexpr (std::is_base_of_v<MewMaster, S>)
        cls.def_property(
            "max_read_words", [](const S &s) { return s.MewMaster::format().max_read_words; },
            [](S &s, py::handle v) { s.MewMaster::set_max_read_words(v.is_none() ? 0 : int64(v)); },
            "Most words one read command asks for (0: no limit); longer reads go as several commands.");
}

// Takes the line-format keywords out of a constructor's arguments, checked
// before the port opens, and applies them once the station exists.
class LineFormatArgs {
public:
    template <class S>
    LineFormatArgs(py::kwargs &kwargs, const S *) {
        if constexpr (!std::is_base_of_v<MewMaster, S> && !std::is_base_of_v<MewSlaveBase, S>) return;
        take(kwargs, "frame_limit", frame_limit_);
        take(kwargs, "decimal_stations", decimal_);
        if constexpr (std::is_base_of_v<MewMaster, S>) take(kwargs, "max_read_words", max_read_words_);
        if (frame_limit_) frames::check_frame_limit(frame_limit_.is_none() ? 0 : int64(frame_limit_));
        if (max_read_words_ && !max_read_words_.is_none() && int64(max_read_words_) < 0)
            throw py::value_error("max_read_words must not be negative: " +
                                  std::string(py::str(max_read_words_)));
        if (decimal_) truth(decimal_);
    }
    template <class S>
    void apply(S &s) const {
        if constexpr (!std::is_base_of_v<MewMaster, S> && !std::is_base_of_v<MewSlaveBase, S>) return;
        if (frame_limit_) set_frame_limit(s, frame_limit_);
        if (decimal_) set_decimal_stations(s, decimal_);
        if constexpr (std::is_base_of_v<MewMaster, S>)
            if (max_read_words_)
                s.MewMaster::set_max_read_words(max_read_words_.is_none() ? 0 : int64(max_read_words_));
    }

private:
    py::object frame_limit_, max_read_words_, decimal_;
    static void take(py::kwargs &kwargs, const char *name, py::object &into) {
        if (!kwargs.contains(name)) return;
        into = kwargs[name];
        PyDict_DelItemString(kwargs.ptr(), name);
    }
};

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
    const LineFormatArgs format(kwargs, static_cast<const Station *>(nullptr));
    const double seconds = kMaster ? timeout_seconds(timeout) : 0.0;
    py::object named = take_channel(cls, args, kwargs);
    // A master's connection attempt keeps to its query time-out, unless
    // the caller says otherwise: a query's wait is bounded by it, a
    // reconnection included, and so is the first connection.
    if (kMaster && seconds >= 0 && PyUnicode_Check(named.ptr()) && !kwargs.contains("connect_timeout") &&
        parse_tcp_url(std::string(py::str(named))))
        kwargs["connect_timeout"] = py::float_(seconds);
    StationChannel ch = make_channel(named, kwargs);
    std::unique_ptr<Station> station;
    if constexpr (kFullDuplex)
        station = std::make_unique<Station>(ch.channel, seconds, slave_station);
    else if constexpr (kMaster)
        station = std::make_unique<Station>(ch.channel, seconds);
    else
        station = std::make_unique<Station>(leading..., ch.channel);
    format.apply(*station);
    // A channel the core reads and writes itself is the Python object's
    // own C++ object; anything else is reached through the interpreter.
    if constexpr (answers_commands<Station>::value)
        station->set_host_channel(!py::isinstance<Channel>(ch.object) ||
                                  &ch.object.cast<Channel &>() != ch.channel.get());
    station->channel_object = ch.object;
    station->query_timeout_object = timeout;
    return station;
}

}  // namespace mew::py_boundary
