// MewTcp: the TCP channel, and "tcp://host:port" port names.
#include <cmath>
#include <string>

#include "base/errors.h"
#include "module/channels.h"
#include "module/common.h"
#include "transport/tcp_channel.h"

namespace mew::py_boundary {

namespace {

PyObject *g_connection_lost = nullptr;  // b4k_mew.ConnectionLost, made once at import

// A time-out keyword: a non-negative number, or None for no limit.
double timeout_argument(py::handle value, const char *name) {
    if (value.is_none()) return -1.0;
    double t = seconds(value);
    if (std::isnan(t) || t < 0)
        throw py::value_error(std::string(name) + " must be a non-negative number or None");
    return t;
}

std::shared_ptr<TcpChannel> open_tcp(std::string host, int port, py::handle timeout,
                                     py::handle connect_timeout) {
    TcpSettings settings;
    settings.timeout = timeout_argument(timeout, "timeout");
    settings.connect_timeout = timeout_argument(connect_timeout, "connect_timeout");
    if (port < 1 || port > 65535)
        throw py::value_error("TCP port must be 1..65535, not " + std::to_string(port));
    if (host.empty()) throw py::value_error("TCP host name is empty");
    py::gil_scoped_release nogil;
    return std::make_shared<TcpChannel>(std::move(host), port, settings);
}

py::object seconds_or_none(double t) {
    if (t < 0) return py::none();
    return py::float_(t);
}

}  // namespace

std::optional<StationChannel> tcp_channel_for(const std::string &name, py::kwargs kwargs) {
    std::optional<TcpAddress> address = parse_tcp_url(name);
    if (!address) return std::nullopt;
    py::object timeout = py::float_(0.1), connect_timeout = py::float_(3.0);
    for (auto item : kwargs) {
        std::string key = py::str(item.first);
        if (key == "timeout")
            timeout = py::reinterpret_borrow<py::object>(item.second);
        else if (key == "connect_timeout")
            connect_timeout = py::reinterpret_borrow<py::object>(item.second);
        else
            throw py::type_error("a TCP port takes the keywords timeout and connect_timeout, not '" + key +
                                 "'");
    }
    std::shared_ptr<TcpChannel> channel = open_tcp(address->host, address->port, timeout, connect_timeout);
    return StationChannel{channel, py::cast(channel)};
}

bool is_tcp_channel(py::handle object) {
    return Py_TYPE(object.ptr()) == reinterpret_cast<PyTypeObject *>(py::type::of<TcpChannel>().ptr());
}

void bind_tcp(py::module_ &m) {
    g_connection_lost = PyErr_NewExceptionWithDoc(
        "b4k_mew.ConnectionLost",
        "The connection of a TCP channel broke or its peer closed it (ConnectionError, an OSError); the "
        "message names it (\"connection to 127.0.0.1:9094 lost: closed by the peer\"). The channel "
        "connects again at the next send.",
        PyExc_ConnectionError, nullptr);
    if (!g_connection_lost) throw py::error_already_set();
    m.attr("ConnectionLost") = py::handle(g_connection_lost);

    py::class_<TcpChannel, Channel, std::shared_ptr<TcpChannel>> tcp(
        m, "MewTcp",
        "A TCP connection to an Ethernet unit or a serial-to-Ethernet converter as a channel (port 9094 by "
        "convention). Connects at once; after a drop the next send connects again, and after a failed "
        "attempt "
        "sends fail at once for a pause that doubles up to 8 s.");
    tcp.def(
        py::init(&open_tcp), py::arg("host"), py::arg("port"), py::arg("timeout") = 0.1,
        py::arg("connect_timeout") = 3.0,
        "Connects to host:port; timeout is the read time-out per byte, connect_timeout the longest wait for "
        "the connection (seconds, None: no limit). OSError when the connection cannot be made.");
    tcp.def_property_readonly("host", &TcpChannel::host, "The host name or address.");
    tcp.def_property_readonly("port", &TcpChannel::port, "The TCP port.");
    tcp.def_property_readonly(
        "timeout", [](const TcpChannel &c) { return seconds_or_none(c.settings().timeout); },
        "The read time-out per byte, seconds (None: no limit).");
    tcp.def_property_readonly(
        "connect_timeout", [](const TcpChannel &c) { return seconds_or_none(c.settings().connect_timeout); },
        "The longest wait for a connection, seconds (None: no limit).");
    tcp.def_property_readonly("connected", &TcpChannel::connected,
                              "Whether a connection is open now (a send makes one when not).");
    tcp.def_property_readonly(
        "is_open", [](const TcpChannel &c) { return !c.closed(); }, "False once closed.");
    tcp.def(
        "read", [](TcpChannel &c, std::int64_t size) { return c.read(size); }, py::arg("size") = 1,
        py::call_guard<py::gil_scoped_release>(),
        "Up to size bytes as text (Latin-1); empty on time-out. ConnectionLost once after a drop.");
    tcp.def("receive_frame", &TcpChannel::receive_frame, py::call_guard<py::gil_scoped_release>(),
            "The next frame up to and including CR, with the read time-out per byte.");
    tcp.def(
        "send_frame",
        [](TcpChannel &c, const py::str &data) {
            std::string_view bytes = text(data);
            py::gil_scoped_release nogil;
            c.send_frame(bytes);
        },
        py::arg("data"), "Writes the frame encoded as UTF-8, connecting first when not connected.");
    tcp.def_property_readonly(
        "in_waiting",
        [](TcpChannel &c) {
            py::gil_scoped_release nogil;
            return c.in_waiting();
        },
        "Bytes received and not yet read.");
    tcp.def("close", &TcpChannel::close, py::call_guard<py::gil_scoped_release>(), "Closes the connection.");
    tcp.def("flush_input", &TcpChannel::flush_input, py::call_guard<py::gil_scoped_release>(),
            "Discards received bytes not yet read.");
    tcp.def(
        "flush_output", [](TcpChannel &) {}, "Does nothing: every send is handed to the socket whole.");
    tcp.def(
        "__enter__", [](py::object self) { return self; }, "Returns the channel.");
    tcp.def(
        "__exit__",
        [](TcpChannel &c, py::args) {
            py::gil_scoped_release nogil;
            c.close();
        },
        "Closes the channel.");
    tcp.def("__repr__", [](const TcpChannel &c) {
        return "MewTcp('" + c.address() + "', " +
               (c.closed()      ? "closed"
                : c.connected() ? "connected"
                                : "not connected") +
               ")";
    });

    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const ConnectionLost &e) {
            PyErr_SetString(g_connection_lost, e.what());
        }
    });
}

}  // namespace mew::py_boundary
