// Channels as stations hold them.
#pragma once

#include <memory>

#include "module/common.h"
#include "transport/channel.h"

namespace mew::py_boundary {

struct StationChannel {
    std::shared_ptr<Channel> channel;  // what the core reads and writes
    py::object object;                 // what Python sees as `_channel`
};

// A station's channel from its `channel` argument: a port name (with the
// serial settings in kwargs) or any object that behaves as a channel.
StationChannel make_channel(py::object channel, py::kwargs kwargs);

// Takes the one `channel` argument out of a station constructor's arguments.
py::object take_channel(const char *cls, py::args &args, py::kwargs &kwargs);

}  // namespace mew::py_boundary
