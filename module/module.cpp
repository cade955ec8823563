#include "module/bindings.h"
#include "module/common.h"
#include "module/hooks.h"

PYBIND11_MODULE(b4k_mew, m) {
    m.doc() = "MEWTOCOL-COM master, slave and remote I/O instruments over a serial line.";
    m.attr("__version__") = MEW_VERSION;
    mew::py_boundary::register_errors(m);
    mew::py_boundary::install_runtime();
    mew::py_boundary::install_exit_wait();
    mew::py_boundary::bind_codec(m);
    mew::py_boundary::bind_transport(m);
    mew::py_boundary::bind_link(m);
    mew::py_boundary::bind_master(m);
    mew::py_boundary::bind_slave(m);
    mew::py_boundary::bind_simulator(m);
    mew::py_boundary::bind_service(m);
    mew::py_boundary::bind_inst(m);
    mew::py_boundary::bind_poller(m);
    mew::py_boundary::bind_trace(m);
    mew::py_boundary::bind_async(m);
}
