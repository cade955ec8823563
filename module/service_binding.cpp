// SlaveServer: a slave's service to TCP clients.
#include "module/bindings.h"
#include "module/hooks.h"
#include "module/role_trampolines.h"
#include "station/tcp_service.h"

namespace mew::py_boundary {

namespace {

// The service and the Python slave it answers for, which it keeps alive.
class SlaveServer {
public:
    SlaveServer(py::object slave, const std::string &host, int port) : slave_(std::move(slave)) {
        MewSlaveBase &answering = slave_.cast<MewSlaveBase &>();
        std::string name = "SlaveServer " + host + ":" + std::to_string(port);
        service_ = std::make_unique<TcpService>(
            host, port,
            [&answering](const std::string &frame, TcpService::Transfer &t) {
                return answering.answer(frame, t);
            },
            [name](std::function<void()> body) { return python_thread(name, std::move(body)); });
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

}  // namespace

void bind_service(py::module_ &m) {
    py::class_<SlaveServer>(
        m, "SlaveServer",
        "Answers TCP clients as `slave` answers its line: every client on its own connection, one "
        "frame at a time, with a long transfer of its own when the slave has a frame limit. Runs "
        "a thread that is not a daemon thread: close it before the program ends.")
        .def(py::init([](py::object slave, const py::str &host, py::handle port) {
                 if (!py::isinstance<MewSlaveBase>(slave))
                     throw py::type_error("SlaveServer() needs a slave station (a MewSlaveBase), not " +
                                          std::string(py::str(slave.get_type().attr("__name__"))));
                 std::int64_t number = int64(port);
                 if (number < 0 || number > 65535)
                     throw py::value_error("port out of range 0..65535: " + std::to_string(number));
                 return std::make_unique<SlaveServer>(slave, std::string(text(host)),
                                                      static_cast<int>(number));
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
}

}  // namespace mew::py_boundary
