// The simulator's halves in C++: _SimDevice (a device's memory, answering
// commands from it) and _Simulator (the line that hands each command to its
// device, and logs what it exchanged). b4k_mew_tools.simulator builds
// Device and Simulator on them.
#include "base/errors.h"
#include "module/bindings.h"
#include "module/station_args.h"
#include "module/station_trampolines.h"
#include "simulator/sim_device.h"
#include "simulator/sim_station.h"

namespace mew::py_boundary {

namespace {

using DeviceTrampoline = PySlave<PyHooked<SimDevice>>;
using SimulatorTrampoline = PyAnswering<PyLink<SimStation>>;

// A Python object held by C++ code that may let go of it on any thread.
struct PyRef {
    explicit PyRef(py::object o) : object(std::move(o)) {}
    ~PyRef() {
        if (!Py_IsInitialized()) {
            object.release();  // the interpreter is gone: nothing left to tell
            return;
        }
        py::gil_scoped_acquire gil;
        object = py::object();
    }
    py::object object;
};

// A hook as the device calls it: the device's attribute `name` (the hook
// itself lives in the instance, where the collector sees it), with the GIL,
// after the memory lock is released. What it raises is reported as Python
// reports the errors of callbacks, and the master is answered all the same.
// `self` is borrowed: the observer belongs to the device, so it is only
// ever called while the device's Python object lives.
SimDevice::Observer observer(py::handle self, const char *name) {
    return [self, name](std::string_view area, std::int64_t start, const SimDevice::Words &values) {
        py::gil_scoped_acquire gil;
        py::object hook;
        try {
            hook = py::getattr(self, name, py::none());
            if (!hook.is_none()) hook(to_str(area), start, to_list(values));
        } catch (py::error_already_set &e) {
            e.discard_as_unraisable(hook ? hook : py::reinterpret_borrow<py::object>(self));
        }
    };
}

// The device for the line: the line's worker may still hold it when Python
// takes it away, so the Python object lives on until the worker lets go.
std::shared_ptr<SimDevice> shared_device(py::handle object) {
    if (!py::isinstance<SimDevice>(object))
        throw py::type_error(std::string("a simulated device is required, not ") +
                             Py_TYPE(object.ptr())->tp_name);
    SimDevice &device = py::cast<SimDevice &>(object);
    auto keep = std::make_shared<PyRef>(py::reinterpret_borrow<py::object>(object));
    return std::shared_ptr<SimDevice>(keep, &device);
}

// A frame as the line carried it: noise on the line may leave bytes in it
// that are no text, and a log must still be readable.
py::str decoded(std::string_view frame) {
    PyObject *o =
        PyUnicode_DecodeUTF8(frame.data(), static_cast<Py_ssize_t>(frame.size()), "backslashreplace");
    if (!o) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(o);
}

std::int64_t word_value(py::handle value) {
    return masked_int64(value, 0xFFFF);
}

void bind_device(py::module_ &m) {
    py::class_<SimDevice, MewSlaveBase, DeviceTrampoline> cls(
        m, "_SimDevice",
        "A simulated device's memory, answering a master's commands from it without Python: contacts X, Y, "
        "R, L (16 to a word), registers DT, LD, FL, S, timer/counter set values SV and elapsed values EV, "
        "and a status. Every method is safe from any thread.");
    cls.def(py::init<std::int64_t>(), py::arg("station"));

    // Words of an area, read and written in C++; `area` reads the area
    // names a method accepts (contacts or registers).
    auto reader = [](SimArea (*area)(std::string_view)) {
        return [area](SimDevice &d, const py::str &name, py::handle start, py::handle count) {
            SimArea a = area(text(name));
            std::int64_t from = int64(start), n = int64(count);
            SimDevice::Words words;
            {
                py::gil_scoped_release nogil;
                words = d.read(a, from, n);
            }
            return to_list(words);
        };
    };
    auto writer = [](SimArea (*area)(std::string_view)) {
        return [area](SimDevice &d, const py::str &name, py::handle start, py::handle values) {
            SimArea a = area(text(name));
            std::int64_t from = int64(start);
            SimDevice::Words words = int64_list(values, &word_value);
            py::gil_scoped_release nogil;
            d.write(a, from, words);
        };
    };
    cls.def("read_words", reader(&SimDevice::contact_area), py::arg("area"), py::arg("start"),
            py::arg("count"), "count words of contact area X, Y, R or L from word start.");
    cls.def("write_words", writer(&SimDevice::contact_area), py::arg("area"), py::arg("start"),
            py::arg("values"),
            "Sets words of contact area X, Y, R or L from word start (each value's low 16 bits).");
    cls.def("read_registers", reader(&SimDevice::word_area), py::arg("area"), py::arg("start"),
            py::arg("count"),
            "count registers of area DT (or D), LD (L), FL (F), S, or timer values SV, EV, from start.");
    cls.def("write_registers", writer(&SimDevice::word_area), py::arg("area"), py::arg("start"),
            py::arg("values"),
            "Sets registers (DT, LD, FL, S) or timer values (SV, EV) from start (each value's low 16 bits).");
    cls.def(
        "get_contact",
        [](SimDevice &d, const py::str &area, py::handle point) {
            SimArea a = SimDevice::contact_area(text(area));
            std::int64_t p = int64(point);
            py::gil_scoped_release nogil;
            return d.contact(a, p);
        },
        py::arg("area"), py::arg("point"), "Contact point (word * 16 + bit) of area X, Y, R or L.");
    cls.def(
        "set_contact",
        [](SimDevice &d, const py::str &area, py::handle point, py::handle value) {
            SimArea a = SimDevice::contact_area(text(area));
            std::int64_t p = int64(point);
            bool on = truth(value);
            py::gil_scoped_release nogil;
            d.set_contact(a, p, on);
        },
        py::arg("area"), py::arg("point"), py::arg("value"),
        "Sets or resets contact point of area X, Y, R or L.");
    cls.def_property(
        "writes", [](SimDevice &d) { return d.writes(); },
        [](SimDevice &d, py::handle value) { d.set_writes(int64(value)); }, "Write commands served so far.");
    cls.def_property_readonly(
        "_plc", [](SimDevice &d) { return d.plc(); }, "Whether the device answers as a controller.");
    cls.def_property(
        "silent", [](SimDevice &d) { return d.silent(); },
        [](SimDevice &d, py::handle value) { d.set_silent(truth(value)); },
        "True: the device answers nothing at all, as one switched off; its memory stays at hand.");
    cls.def_property(
        "error_code", [](SimDevice &d) { return d.error_code(); },
        [](SimDevice &d, py::handle value) {
            // A bool is no error code, though Python counts it as an int.
            const std::int64_t code = PyBool_Check(value.ptr()) ? -1 : clamped_int64(value);
            if (code < 0 || code > 99)
                throw py::value_error("error code must be 0 (none) to 99, not " +
                                      py::str(value).cast<std::string>());
            py::gil_scoped_release nogil;
            d.set_error_code(code);
        },
        "0: answers as usual; 1 to 99: every command (and request for a next frame) addressed to the device "
        "is answered with that device error, and a transfer under way is dropped.");
    cls.def(
        "_watch_writes",
        [](py::handle self, bool on) {
            SimDevice &d = py::cast<SimDevice &>(self);
            SimDevice::Observer told = on ? observer(self, "_on_write") : SimDevice::Observer();
            py::gil_scoped_release nogil;
            d.set_write_observer(std::move(told));
        },
        py::arg("on"), "Whether self._on_write(area, start, values) is called after each write of a master.");
    cls.def(
        "_watch_reads",
        [](py::handle self, bool on) {
            SimDevice &d = py::cast<SimDevice &>(self);
            SimDevice::Observer told = on ? observer(self, "_on_read") : SimDevice::Observer();
            py::gil_scoped_release nogil;
            d.set_read_observer(std::move(told));
        },
        py::arg("on"), "Whether self._on_read(area, start, values) is called after each read of a master.");
    cls.def(
        "_status",
        [](SimDevice &d) {
            frames::PlcStatus s;
            {
                py::gil_scoped_release nogil;
                s = d.status();
            }
            return py::make_tuple(s.cpu_type, s.version, s.capacity, s.mode, s.link, s.error_flags,
                                  s.self_diagnosis);
        },
        "The status RT answers: (cpu_type, version, capacity, mode, link, error_flags, self_diagnosis).");
    cls.def(
        "_set_status",
        [](SimDevice &d, py::handle cpu_type, py::handle version, py::handle capacity, py::handle mode,
           py::handle link, py::handle error_flags, py::handle self_diagnosis) {
            frames::PlcStatus s;
            s.cpu_type = int64(cpu_type);
            s.version = int64(version);
            s.capacity = int64(capacity);
            s.mode = int64(mode);
            s.link = int64(link);
            s.error_flags = int64(error_flags);
            s.self_diagnosis = int64(self_diagnosis);
            py::gil_scoped_release nogil;
            d.set_status(s);
        },
        py::arg("cpu_type"), py::arg("version"), py::arg("capacity"), py::arg("mode"), py::arg("link"),
        py::arg("error_flags"), py::arg("self_diagnosis"), "Sets the status RT answers.");
    cls.def(
        "_process_request",
        [](SimDevice &d, const py::str &command) {
            std::string c(text(command));
            std::string response;
            {
                py::gil_scoped_release nogil;
                response = d.SimDevice::process_request(c);
            }
            return to_str(response);
        },
        py::arg("command"), "The response frame to one command frame, or \"\" when nothing is to be sent.");
    cls.def(
        "_answer",
        [](SimDevice &d, const py::str &frame) {
            std::string f(text(frame));
            std::string response;
            {
                py::gil_scoped_release nogil;
                response = d.answer(f);
            }
            return to_str(response);
        },
        py::arg("frame"), "What the line sends for a frame received: cut at the frame limit, if any.");

    // The handlers, for a subclass that extends them through super().
    cls.def(
        "on_get_coil",
        [](SimDevice &d, const py::str &name) {
            std::string n(text(name));
            py::gil_scoped_release nogil;
            return d.SimDevice::on_get_coil(n);
        },
        py::arg("name"), "RCS: the state of contact name (\"R0010\").");
    cls.def(
        "on_set_coil",
        [](SimDevice &d, const py::str &name, py::handle value) {
            std::string n(text(name));
            bool on = truth(value);
            py::gil_scoped_release nogil;
            d.SimDevice::on_set_coil(n, on);
        },
        py::arg("name"), py::arg("value"), "WCS: sets or resets contact name.");
    // The handlers of word reads and writes, called without the GIL on the
    // C++ device itself (not through a Python override of it).
#define MEW_SIM_READ(method, doc)                                 \
    cls.def(                                                      \
        #method,                                                  \
        [](SimDevice &d, const py::str &name, py::handle count) { \
            std::string n(text(name));                            \
            std::int64_t c = int64(count);                        \
            SimDevice::Words words;                               \
            {                                                     \
                py::gil_scoped_release nogil;                     \
                words = d.SimDevice::method(n, c);                \
            }                                                     \
            return to_list(words);                                \
        },                                                        \
        py::arg("name"), py::arg("count"), doc)
#define MEW_SIM_WRITE(method, doc)                                 \
    cls.def(                                                       \
        #method,                                                   \
        [](SimDevice &d, const py::str &name, py::handle values) { \
            std::string n(text(name));                             \
            SimDevice::Words words = int64_list(values);           \
            py::gil_scoped_release nogil;                          \
            d.SimDevice::method(n, words);                         \
        },                                                         \
        py::arg("name"), py::arg("values"), doc)
    MEW_SIM_READ(on_get_multi_coil_uint16, "RCC: count words of contacts from name (\"X0000\").");
    MEW_SIM_WRITE(on_set_multi_coil_uint16, "WCC: writes words of contacts from name.");
    MEW_SIM_READ(on_get_multi_uint16, "RD: count registers from name (\"D00100\").");
    MEW_SIM_WRITE(on_set_multi_uint16, "WD: writes registers from name.");
#undef MEW_SIM_READ
#undef MEW_SIM_WRITE
    hook_init<SimDevice>(cls);
}

void bind_station(py::module_ &m) {
    py::class_<SimStation, MewBase, SimulatorTrampoline> cls(
        m, "_Simulator",
        "A simulator's line: hands every command to the device at the station it addresses and sends the "
        "device's answer without Python, on the thread that read the command (on a worker thread for a "
        "device with Python handlers or hooks). _Simulator(channel, **serial_settings); nothing runs until "
        "start().");
    cls.def(py::init([](py::args args, py::kwargs kwargs) {
        return make_station<SimulatorTrampoline>("Simulator", args, kwargs);
    }));
    cls.def(
        "start", [](SimStation &s) { s.SimStation::start(); }, py::call_guard<py::gil_scoped_release>(),
        "Starts the receiver and the worker; nothing for what runs already.");
    cls.def(
        "stop", [](SimStation &s) { s.SimStation::stop(); }, py::call_guard<py::gil_scoped_release>(),
        "Stops the worker and the receiver and waits for both.");
    cls.def(
        "close", [](SimStation &s) { s.SimStation::close(); }, py::call_guard<py::gil_scoped_release>(),
        "stop(), then closes the channel.");
    cls.def("_serve", &SimStation::worker_loop, py::call_guard<py::gil_scoped_release>(),
            "The worker's body.");
    cls.def_property_readonly(
        "_worker_thread", [](SimStation &s) { return thread_object(s.worker_thread()); },
        "The worker thread (a threading.Thread), or None before the first start.");
    cls.def_property_readonly("_worker_stop_flag", &SimStation::worker_stopped,
                              "True while the worker is not running.");
    cls.def_property_readonly("_answers_on_reader", &SimStation::native_sends,
                              "True when commands for devices without Python handlers or hooks are answered "
                              "on the thread that reads them (no _send or channel written in Python).");
    cls.def(
        "_configure",
        [](SimStation &s, py::handle frame_limit, py::handle decimal_stations, py::handle plc) {
            std::int64_t limit = int64(frame_limit);
            bool decimal = truth(decimal_stations), controller = truth(plc);
            py::gil_scoped_release nogil;
            s.set_frame_limit(limit);
            s.set_decimal_stations(decimal);
            s.set_plc(controller);
        },
        py::arg("frame_limit"), py::arg("decimal_stations"), py::arg("plc"),
        "How every device answers: frame limit (0, 118, 2048), decimal stations, PLC mode.");
    cls.def(
        "_add_device",
        [](SimStation &s, py::handle device) {
            std::shared_ptr<SimDevice> shared = shared_device(device);
            py::gil_scoped_release nogil;
            s.add_device(std::move(shared));
        },
        py::arg("device"), "Serves device at its station, in place of any there.");
    cls.def(
        "_remove_device",
        [](SimStation &s, py::handle station) {
            std::int64_t st = int64(station);
            py::gil_scoped_release nogil;
            s.remove_device(st);
        },
        py::arg("station"), "Serves no device at station any more.");
    cls.def(
        "_log_frames",
        [](SimStation &s, py::handle capacity) {
            std::int64_t keep = clamped_int64(capacity);
            py::gil_scoped_release nogil;
            s.frame_log().set_capacity(keep);
        },
        py::arg("capacity"), "Keeps the last capacity frames exchanged from now on; 0 stops and empties.");
    cls.def(
        "_frames",
        [](SimStation &s, py::handle after) {
            std::int64_t from = clamped_int64(after);
            std::vector<FrameLog::Entry> entries;
            {
                py::gil_scoped_release nogil;
                entries = s.frame_log().after(from);
            }
            py::list out;
            for (const FrameLog::Entry &e : entries)
                out.append(py::make_tuple(e.seq, e.time, e.station, decoded(e.command), decoded(e.answer)));
            return out;
        },
        py::arg("after"), "(seq, time, station, command, answer) of the frames logged with seq > after.");
    hook_init<SimStation>(cls);
}

}  // namespace

void bind_simulator(py::module_ &m) {
    bind_device(m);
    bind_station(m);
}

}  // namespace mew::py_boundary
