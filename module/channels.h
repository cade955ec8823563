// Channels as stations hold them.
#pragma once

#include <memory>
#include <optional>
#include <string>

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

// The TCP channel for a port name "tcp://host:port" or "socket://host:port",
// with the keywords timeout and connect_timeout; nothing for any other name.
// ValueError for a TCP name that is not a valid address, before connecting.
std::optional<StationChannel> tcp_channel_for(const std::string &name, py::kwargs kwargs);
// Whether the object is a MewTcp itself (not a subclass).
bool is_tcp_channel(py::handle object);
// MewTcp and ConnectionLost.
void bind_tcp(py::module_ &m);

// Takes the one `channel` argument out of a station constructor's arguments.
py::object take_channel(const char *cls, py::args &args, py::kwargs &kwargs);

}  // namespace mew::py_boundary
