// One function per subsystem that adds its classes to the module.
#pragma once

#include "module/common.h"

namespace mew::py_boundary {

void bind_async(py::module_ &m);
void bind_codec(py::module_ &m);
void bind_transport(py::module_ &m);
void bind_link(py::module_ &m);
void bind_master(py::module_ &m);
void bind_slave(py::module_ &m);
void bind_simulator(py::module_ &m);
void bind_service(py::module_ &m);
void bind_inst(py::module_ &m);
void bind_poller(py::module_ &m);
void bind_trace(py::module_ &m);

}  // namespace mew::py_boundary
