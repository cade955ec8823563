// SlaveServer and Gateway: the services of stations to TCP clients.
#include "module/bindings.h"
#include "module/hooks.h"
#include "module/station_trampolines.h"
#include "services/gateway.h"
#include "simulator/sim_station.h"
#include "services/tcp_service.h"

namespace mew::py_boundary {

namespace {

TcpService::MakeThread named_thread(const std::string &what, const std::string &host, int port) {
    std::string name = what + " " + host + ":" + std::to_string(port);
    return [name](std::function<void()> body) { return python_thread(name, std::move(body)); };
}

// The service and the Python station it answers for, which it keeps alive.
class SlaveServer {
public:
    SlaveServer(py::object slave, const std::string &host, int port) : slave_(std::move(slave)) {
        TcpService::Responder respond;
        if (py::isinstance<SimStation>(slave_)) {
            const SimStation &line = slave_.cast<const SimStation &>();
            respond = [&line](const std::string &frame, TcpService::Transfer &t) {
                return line.respond(frame, t);
            };
        } else {
            MewSlaveBase &answering = slave_.cast<MewSlaveBase &>();
            respond = [&answering](const std::string &frame, TcpService::Transfer &t) {
                return answering.answer(frame, t);
            };
        }
        service_ = std::make_unique<TcpService>(host, port, std::move(respond),
                                                named_thread("SlaveServer", host, port));
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
    PyGateway(py::object line, const std::string &host, int port) : line_(std::move(line)) {
        gateway_ = std::make_unique<Gateway>(line_.cast<MewMasterBase &>(), host, port,
                                             named_thread("Gateway", host, port));
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

}  // namespace

void bind_service(py::module_ &m) {
    py::class_<SlaveServer>(
        m, "SlaveServer",
        "Answers TCP clients as `slave` (a slave station or a simulator) answers its line: every client on "
        "its own connection, one "
        "frame at a time, with a long transfer of its own when the slave has a frame limit. Runs "
        "a thread that is not a daemon thread: close it before the program ends.")
        .def(py::init([](py::object slave, const py::str &host, py::handle port) {
                 if (!py::isinstance<MewSlaveBase>(slave) && !py::isinstance<SimStation>(slave))
                     throw py::type_error(
                         "SlaveServer() needs a slave station (a MewSlaveBase) or a simulator, not " +
                         std::string(py::str(slave.get_type().attr("__name__"))));
                 return std::make_unique<SlaveServer>(slave, std::string(text(host)), port_arg(port));
             }),
             py::arg("slave"), py::arg("host") = "127.0.0.1", py::arg("port") = 9094,
             "Listens on host:port (port 0: a free one) and serves at once; OSError when the address cannot "
             "be had.")
        .def_property_readonly("port", &SlaveServer::port, "The port it listens on.")
        .def_property_readonly("connections", &SlaveServer::connections, "Clients connected now.")
        .def_property_readonly("slave", &SlaveServer::slave, "The slave that answers.")
        .def("close", &SlaveServer::close,
             "Stops serving and closes every connection; nothing when closed already.")
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](SlaveServer &s, py::args) { s.close(); });

    py::class_<PyGateway>(
        m, "Gateway",
        "Lets TCP masters share the line of `line` (a master station): commands from every client go "
        "on the line one at a time, each answer back to the client that asked, a long answer frame "
        "by frame. Only well-formed commands reach the line. Runs a thread that is not a daemon "
        "thread: close it before the program ends.")
        .def(py::init([](py::object line, const py::str &host, py::handle port) {
                 if (!py::isinstance<MewMasterBase>(line))
                     throw py::type_error(
                         "Gateway() needs a master station of the line (a MewMasterBase), not " +
                         std::string(py::str(line.get_type().attr("__name__"))));
                 return std::make_unique<PyGateway>(line, std::string(text(host)), port_arg(port));
             }),
             py::arg("line"), py::arg("host") = "127.0.0.1", py::arg("port") = 9094,
             "Listens on host:port (port 0: a free one) and relays at once; OSError when the address cannot "
             "be had.")
        .def_property_readonly("port", &PyGateway::port, "The port it listens on.")
        .def_property_readonly("connections", &PyGateway::connections, "Clients connected now.")
        .def_property_readonly("line", &PyGateway::line, "The master station of the line.")
        .def("close", &PyGateway::close,
             "Stops relaying and closes every connection; nothing when closed already.")
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](PyGateway &g, py::args) { g.close(); });
}

}  // namespace mew::py_boundary
