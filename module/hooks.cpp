#include "module/hooks.h"

#include <algorithm>
#include <string>
#include <vector>

#include "base/errors.h"

namespace mew::py_boundary {

namespace {

const char *const kHookNames[kHookCount] = {
#define MEW_HOOK_NAME(id, name) name,
    MEW_HOOKS(MEW_HOOK_NAME)
#undef MEW_HOOK_NAME
};

class PythonThread : public runtime::WorkerThread {
public:
    explicit PythonThread(py::object thread) : thread_(std::move(thread)) {}
    ~PythonThread() override {
        py::gil_scoped_acquire gil;
        thread_ = py::object();
    }
    void start() override {
        py::gil_scoped_acquire gil;
        thread_.attr("start")();
    }
    void join() override {
        py::gil_scoped_acquire gil;
        if (thread_.attr("ident").is_none()) return;  // never started
        py::object current = py::module_::import("threading").attr("current_thread")();
        if (current.is(thread_)) return;
        thread_.attr("join")();  // waits without the GIL
    }
    const py::object &object() const { return thread_; }

private:
    py::object thread_;
};

void print_to_stdout(const std::string &line) {
    if (!Py_IsInitialized()) return;
    py::gil_scoped_acquire gil;
    // A message must never turn into an error of the thread that prints it.
    PyObject *type, *value, *trace;
    PyErr_Fetch(&type, &value, &trace);
    try {
        py::object out = py::module_::import("sys").attr("stdout");
        if (!out.is_none()) {
            out.attr("write")(to_str(line + "\n"));
            out.attr("flush")();
        }
    } catch (py::error_already_set &e) {
        e.discard_as_unraisable("b4k_mew message");
    } catch (...) {
    }
    PyErr_Restore(type, value, trace);
}

// The caller holds the GIL.
void describe_raised(py::error_already_set &e, runtime::ErrorInfo &info) {
    info.io_error = e.matches(PyExc_OSError);
    info.interrupt = !e.matches(PyExc_Exception);
    try {
        info.type_name = py::str(e.type().attr("__name__"));
        info.message = py::str(e.value());
    } catch (...) {
        info.message = "(unprintable error)";
    }
}

bool describe_python_error(std::exception_ptr error, runtime::ErrorInfo &info) {
    try {
        std::rethrow_exception(error);
    } catch (py::error_already_set &e) {
        py::gil_scoped_acquire gil;
        describe_raised(e, info);
        return true;
    } catch (const py::builtin_exception &e) {
        // pybind11's own TypeError, ValueError, ...: named as Python names them.
        py::gil_scoped_acquire gil;
        PyObject *type, *value, *trace;
        PyErr_Fetch(&type, &value, &trace);
        e.set_error();
        py::error_already_set raised;
        describe_raised(raised, info);
        PyErr_Restore(type, value, trace);
        return true;
    } catch (const PortClosedError &e) {
        info = {true, "PortNotOpenError", e.what()};
        return true;
    } catch (const SerialError &e) {
        info = {true, "SerialException", e.what()};
        return true;
    } catch (...) {
        return false;
    }
}

// Only the main thread runs Python's signal handlers: the others need not
// take the interpreter lock to look.
unsigned long g_main_thread = 0;

void check_signals() {
    if (PyThread_get_thread_ident() != g_main_thread || !Py_IsInitialized()) return;
    py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

}  // namespace

const char *hook_name(Hook h) {
    return kHookNames[h];
}

void PyHooks::attach(py::handle self, py::handle cls) {
    self_ = self;
    mask_ = 0;
    py::handle type = reinterpret_cast<PyObject *>(Py_TYPE(self.ptr()));
    for (unsigned h = 0; h < kHookCount; ++h) {
        py::object own = py::getattr(cls, kHookNames[h], py::none());
        if (own.is_none()) continue;
        py::object actual = py::getattr(type, kHookNames[h], py::none());
        if (!actual.is(own)) mask_ |= std::uint64_t{1} << h;
    }
}

void wrap_init(py::handle cls, std::function<void(py::handle)> before, std::function<void(py::handle)> attach,
               std::function<void(py::handle)> after) {
    py::object original = cls.attr("__init__");
    cls.attr("__init__") = py::cpp_function(
        [original, before, attach, after](py::handle self, py::args args, py::kwargs kwargs) {
            if (before) before(self);
            original(self, *args, **kwargs);
            attach(self);
            if (after) after(self);
        },
        py::is_method(cls), py::name("__init__"),
        py::doc(py::str(original.attr("__doc__")).cast<std::string>().c_str()));
}

void check_abstract(py::handle self, py::handle cls, std::initializer_list<const char *> names) {
    py::handle type = reinterpret_cast<PyObject *>(Py_TYPE(self.ptr()));
    std::vector<std::string> missing;
    for (const char *name : names)
        if (py::getattr(type, name, py::none()).is(py::getattr(cls, name, py::none())))
            missing.emplace_back(name);
    if (missing.empty()) return;
    std::sort(missing.begin(), missing.end());
    std::string list;
    for (const auto &m : missing) list += (list.empty() ? "" : ", ") + m;
    throw py::type_error("Can't instantiate abstract class " +
                         py::str(type.attr("__name__")).cast<std::string>() + " with abstract method" +
                         (missing.size() > 1 ? "s " : " ") + list);
}

std::unique_ptr<runtime::WorkerThread> python_thread(py::handle self, const char *method) {
    py::gil_scoped_acquire gil;
    py::object type_name = py::type::handle_of(self).attr("__name__");
    // The target holds the station, so the thread keeps it alive, and
    // counts itself for the wait at exit until its C++ part is over.
    py::cpp_function target([station = py::reinterpret_borrow<py::object>(self), name = std::string(method)] {
        RunningThread counted;
        station.attr(name.c_str())();
    });
    py::object thread = py::module_::import("threading")
                            .attr("Thread")(py::arg("target") = target,
                                            py::arg("name") = py::str("{}.{}").format(type_name, method),
                                            py::arg("daemon") = false);
    own_threads(self, ExitRank::kStation, "stop");
    return std::make_unique<PythonThread>(std::move(thread));
}

std::unique_ptr<runtime::WorkerThread> python_thread(const std::string &name, std::function<void()> body) {
    py::gil_scoped_acquire gil;
    py::cpp_function target([body = std::move(body)] {
        RunningThread counted;
        py::gil_scoped_release nogil;
        body();
    });
    py::object thread =
        py::module_::import("threading")
            .attr("Thread")(py::arg("target") = target, py::arg("name") = name, py::arg("daemon") = false);
    return std::make_unique<PythonThread>(std::move(thread));
}

py::object thread_object(const runtime::WorkerThread *thread) {
    if (auto *t = dynamic_cast<const PythonThread *>(thread)) return t->object();
    return py::none();
}

void install_runtime() {
    runtime::set_printer(&print_to_stdout);
    runtime::set_describer(&describe_python_error);
    g_main_thread =
        py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
    runtime::set_interrupt_check(&check_signals);
}

}  // namespace mew::py_boundary
