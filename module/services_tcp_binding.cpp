// SlaveServer and Gateway: the services of stations to TCP clients.
#include "module/bindings.h"
#include "module/hooks.h"
#include "module/station_trampolines.h"
#include "services/gateway.h"
#include "services/tcp_service.h"
#include "simulator/sim_station.h"

namespace mew::py_boundary {

namespace {

TcpService::MakeThread named_thread(const std::string &what, const std::string &host, int port) {
    std::string name = what + " " + host + ":" + std::to_string(port);
    return [name](std::function<void()> body) { return python_thread(name, std::move(body)); };
}

// The service and the Python station it answers for, which it keeps alive.
class SlaveServer {
public:
    SlaveServer(py::object slave, const std::string &host, int port, TcpServer::Limits limits)
        : slave_(std::move(slave)) {
        TcpService::Responder respond;
        // What needs no Python is answered on the server's thread as it is read.
        TcpService::Native native;
        if (py::isinstance<SimStation>(slave_)) {
            const SimStation &line = slave_.cast<const SimStation &>();
            respond = [&line](const std::string &frame, TcpService::Transfer &t) {
                return line.respond(frame, t);
            };
            native = [&line](const std::string &frame) { return line.native_answer(frame); };
        } else {
            MewSlaveBase &answering = slave_.cast<MewSlaveBase &>();
            respond = [&answering](const std::string &frame, TcpService::Transfer &t) {
                return answering.answer(frame, t);
            };
            native = [&answering](const std::string &) { return answering.native_answers(); };
        }
        service_ =
            std::make_unique<TcpService>(host, port, std::move(respond),
                                         named_thread("SlaveServer", host, port), limits, std::move(native));
        py::gil_scoped_release nogil;
        service_->start();
    }
    ~SlaveServer() {
        py::gil_scoped_release nogil;
        service_.reset();
    }
    int port() const { return service_->port(); }
    std::size_t connections() const { return service_->connections(); }
    void close() {
        py::gil_scoped_release nogil;
        service_->stop();
    }
    const py::object &slave() const { return slave_; }

private:
    py::object slave_;
    std::unique_ptr<TcpService> service_;
};

class PyGateway {
public:
    PyGateway(py::object line, const std::string &host, int port, TcpServer::Limits limits)
        : line_(std::move(line)) {
        gateway_ = std::make_unique<Gateway>(line_.cast<MewMasterBase &>(), host, port,
                                             named_thread("Gateway", host, port), limits);
        py::gil_scoped_release nogil;
        gateway_->start();
    }
    ~PyGateway() {
        py::gil_scoped_release nogil;
        gateway_.reset();
    }
    int port() const { return gateway_->port(); }
    std::size_t connections() const { return gateway_->connections(); }
    void close() {
        py::gil_scoped_release nogil;
        gateway_->stop();
    }
    const py::object &line() const { return line_; }

private:
    py::object line_;
    std::unique_ptr<Gateway> gateway_;
};

int port_arg(py::handle port) {
    std::int64_t number = int64(port);
    if (number < 0 || number > 65535)
        throw py::value_error("port out of range 0..65535: " + std::to_string(number));
    return static_cast<int>(number);
}

// max_connections and max_pipelined, at least 1 each.
TcpServer::Limits limits_arg(py::handle max_connections, py::handle max_pipelined) {
    TcpServer::Limits limits;
    const std::pair<py::handle, std::size_t *> given[] = {{max_connections, &limits.max_connections},
                                                          {max_pipelined, &limits.max_pipelined}};
    const char *names[] = {"max_connections", "max_pipelined"};
    for (int i = 0; i < 2; ++i) {
        std::int64_t number = int64(given[i].first);
        if (number < 1)
            throw py::value_error(std::string(names[i]) + " must be at least 1, not " +
                                  std::to_string(number));
        *given[i].second = static_cast<std::size_t>(number);
    }
    return limits;
}

constexpr const char *kLimitsDoc =
    " At most `max_connections` clients at once (default 64): one more is logged and closed at once. "
    "A client may have `max_pipelined` commands unanswered (default 16), answered in order; its next "
    "commands are read once one is answered. A client that closes its connection takes its commands "
    "still waiting with it, and a client that does not take its answers for 2 s is dropped; neither "
    "delays the others.";

}  // namespace

void bind_service(py::module_ &m) {
    py::class_<SlaveServer>(
        m, "SlaveServer",
        "Answers TCP clients as `slave` (a slave station or a simulator) answers its line: every client on "
        "its own connection, one "
        "frame at a time, with a long transfer of its own when the slave has a frame limit. Runs "
        "a thread that is not a daemon thread: close it before the program ends.")
        .def(py::init([](py::object slave, const py::str &host, py::handle port, py::handle max_connections,
                         py::handle max_pipelined) {
                 if (!py::isinstance<MewSlaveBase>(slave) && !py::isinstance<SimStation>(slave))
                     throw py::type_error(
                         "SlaveServer() needs a slave station (a MewSlaveBase) or a simulator, not " +
                         std::string(py::str(py::type::handle_of(slave).attr("__name__"))));
                 return std::make_unique<SlaveServer>(slave, std::string(text(host)), port_arg(port),
                                                      limits_arg(max_connections, max_pipelined));
             }),
             py::arg("slave"), py::arg("host") = "127.0.0.1", py::arg("port") = 9094, py::kw_only(),
             py::arg("max_connections") = TcpServer::Limits::kDefaultMaxConnections,
             py::arg("max_pipelined") = TcpServer::Limits::kDefaultMaxPipelined,
             (std::string("Listens on host:port (port 0: a free one) and serves at once; OSError when the "
                          "address cannot be had.") +
              kLimitsDoc)
                 .c_str())
        .def_property_readonly("port", &SlaveServer::port, "The port it listens on.")
        .def_property_readonly("connections", &SlaveServer::connections, "Clients connected now.")
        .def_property_readonly("slave", &SlaveServer::slave, "The slave that answers.")
        .def("close", &SlaveServer::close,
             "Stops serving, closes every connection and releases the port at once; nothing when closed "
             "already.")
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](SlaveServer &s, py::args) { s.close(); });

    py::class_<PyGateway>(
        m, "Gateway",
        "Lets TCP masters share the line of `line` (a master station): commands from every client go "
        "on the line one at a time, each answer back to the client that asked, a long answer frame "
        "by frame. Only well-formed commands reach the line. Runs a thread that is not a daemon "
        "thread: close it before the program ends.")
        .def(py::init([](py::object line, const py::str &host, py::handle port, py::handle max_connections,
                         py::handle max_pipelined) {
                 if (!py::isinstance<MewMasterBase>(line))
                     throw py::type_error(
                         "Gateway() needs a master station of the line (a MewMasterBase), not " +
                         std::string(py::str(py::type::handle_of(line).attr("__name__"))));
                 return std::make_unique<PyGateway>(line, std::string(text(host)), port_arg(port),
                                                    limits_arg(max_connections, max_pipelined));
             }),
             py::arg("line"), py::arg("host") = "127.0.0.1", py::arg("port") = 9094, py::kw_only(),
             py::arg("max_connections") = TcpServer::Limits::kDefaultMaxConnections,
             py::arg("max_pipelined") = TcpServer::Limits::kDefaultMaxPipelined,
             (std::string("Listens on host:port (port 0: a free one) and relays at once; OSError when the "
                          "address cannot be had.") +
              kLimitsDoc)
                 .c_str())
        .def_property_readonly("port", &PyGateway::port, "The port it listens on.")
        .def_property_readonly("connections", &PyGateway::connections, "Clients connected now.")
        .def_property_readonly("line", &PyGateway::line, "The master station of the line.")
        .def("close", &PyGateway::close,
             "Stops relaying, closes every connection and releases the port at once; nothing when closed "
             "already.")
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](PyGateway &g, py::args) { g.close(); });

    // Closed, should the wait for their threads at the interpreter's exit
    // be interrupted.
    for (const char *name : {"SlaveServer", "Gateway"})
        wrap_init(
            m.attr(name), {}, [](py::handle) {},
            [](py::handle self) { own_threads(self, ExitRank::kServer, "close"); });
}

}  // namespace mew::py_boundary
