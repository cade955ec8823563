// MewSlaveBase, MewFullDuplex and RandomMewSlaveDemo.
#include "base/errors.h"
#include "module/bindings.h"
#include "module/station_args.h"
#include "module/station_trampolines.h"
#include "station/mew_full_duplex.h"
#include "station/random_slave.h"

namespace mew::py_boundary {

namespace {

using SlaveTrampoline = PySlave<PyHooked<MewSlaveBase>>;
using FullDuplexTrampoline = PyAnswering<PySlave<PyMaster<MewFullDuplex>>>;

// The demonstration slave draws from the host's random module, so that
// random.seed() makes a run reproducible.
class RandomTrampoline : public PyAnswering<PySlave<PyLink<RandomMewSlaveDemo>>> {
public:
    using PyAnswering<PySlave<PyLink<RandomMewSlaveDemo>>>::PyAnswering;

protected:
    std::int64_t random_int(std::int64_t low, std::int64_t high) override {
        py::gil_scoped_acquire gil;
        return int64(py::module_::import("random").attr("randint")(low, high));
    }
    bool random_bool() override {
        py::gil_scoped_acquire gil;
        py::list choices;
        choices.append(true);
        choices.append(false);
        return truth(py::module_::import("random").attr("choice")(choices));
    }
};

const char *const kHandlerNames[] = {"on_get_coil", "on_get_multi_coil_uint16", "on_get_multi_uint16",
                                     "on_set_coil", "on_set_multi_coil_uint16", "on_set_multi_uint16"};

template <class Station, class Cls>
void bind_slave_side(Cls &cls) {
    cls.def_property_readonly(
        "station", [](Station &s) { return s.MewSlaveBase::station(); }, "This slave's station number.");
    cls.def_property_readonly(
        "_station", [](Station &s) { return s.MewSlaveBase::station(); }, "This slave's station number.");
}

template <class Station, class Cls>
void bind_worker(Cls &cls) {
    cls.def_property_readonly("_slave_stop_flag", &Station::slave_stop_flag,
                              "True while the slave worker is not running.");
    cls.def_property_readonly(
        "_slave_thread", [](Station &s) { return thread_object(s.slave_thread()); },
        "The slave worker thread (a threading.Thread), or None before the first start.");
    cls.def("_check_and_process_request", &Station::worker_loop, py::call_guard<py::gil_scoped_release>(),
            "The slave worker's body.");
    cls.def_property_readonly("_answers_on_reader", &Station::answers_on_reader,
                              "True when commands are answered on the thread that reads them (no handler, "
                              "_send or channel written in Python); False when the slave worker answers.");
    cls.def(
        "start", [](Station &s) { s.Station::start(); }, py::call_guard<py::gil_scoped_release>(),
        "Starts the receiver and the slave worker; nothing for what runs already.");
    cls.def(
        "stop", [](Station &s) { s.Station::stop(); }, py::call_guard<py::gil_scoped_release>(),
        "Stops the receiver and the slave worker and waits for both.");
}

// A station's own handlers, callable from Python (and from a subclass's
// override through super()).
template <class Station, class Cls>
void bind_handlers(Cls &cls) {
    cls.def(
        "on_get_coil", [](Station &s, const py::str &name) { return s.Station::on_get_coil(text(name)); },
        py::arg("name"), "RCS: the state of contact name (\"R0010\").");
    cls.def(
        "on_set_coil",
        [](Station &s, const py::str &name, py::handle value) {
            s.Station::on_set_coil(text(name), truth(value));
        },
        py::arg("name"), py::arg("value"), "WCS: sets or resets contact name.");
    cls.def(
        "on_get_multi_coil_uint16",
        [](Station &s, const py::str &name, py::handle count) {
            return to_list(s.Station::on_get_multi_coil_uint16(text(name), int64(count)));
        },
        py::arg("name"), py::arg("count"), "RCC: count words of contacts from name (\"X0000\").");
    cls.def(
        "on_set_multi_coil_uint16",
        [](Station &s, const py::str &name, py::handle values) {
            s.Station::on_set_multi_coil_uint16(text(name), int64_list(values));
        },
        py::arg("name"), py::arg("values"), "WCC: writes words of contacts from name.");
    cls.def(
        "on_get_multi_uint16",
        [](Station &s, const py::str &name, py::handle count) {
            return to_list(s.Station::on_get_multi_uint16(text(name), int64(count)));
        },
        py::arg("name"), py::arg("count"), "RD: count registers from name (\"D00100\").");
    cls.def(
        "on_set_multi_uint16",
        [](Station &s, const py::str &name, py::handle values) {
            s.Station::on_set_multi_uint16(text(name), int64_list(values));
        },
        py::arg("name"), py::arg("values"), "WD: writes registers from name.");
}

}  // namespace

void bind_slave(py::module_ &m) {
    py::class_<MewSlaveBase, SlaveTrampoline> slave(
        m, "MewSlaveBase",
        "The slave half of a station: _process_request turns one command frame into its response through "
        "six handlers, which a subclass must implement.");
    slave.def(py::init<std::int64_t>(), py::arg("station"));
    bind_slave_side<MewSlaveBase>(slave);
    slave.def(
        "process_invalid_frame",
        [](MewSlaveBase &s, const py::str &frame) {
            std::string f(text(frame));
            py::gil_scoped_release nogil;
            s.MewSlaveBase::process_invalid_frame(f);
        },
        py::arg("frame"), "Reports a malformed frame: prints \"Invalid MEW frame: <frame>\".");
    slave.def(
        "_process_request",
        [](MewSlaveBase &s, const py::str &command) {
            std::string c(text(command));
            std::string response;
            {
                py::gil_scoped_release nogil;
                response = s.MewSlaveBase::process_request(c);
            }
            return to_str(response);
        },
        py::arg("command"), "The response frame to one command frame, or \"\" when nothing is to be sent.");
    for (const char *name : kHandlerNames)
        slave.def(
            name,
            [name](py::args, py::kwargs) -> py::object {
                throw py::type_error(std::string("MewSlaveBase.") + name + " is abstract");
            },
            "Abstract handler: a subclass implements it.");
    py::handle slave_cls = slave;
    bind_line_format(slave);
    hook_init<MewSlaveBase>(slave, {}, [slave_cls](py::handle self) {
        check_abstract(self, slave_cls,
                       {kHandlerNames[0], kHandlerNames[1], kHandlerNames[2], kHandlerNames[3],
                        kHandlerNames[4], kHandlerNames[5]});
    });

    py::class_<MewFullDuplex, MewMaster, MewSlaveBase, FullDuplexTrampoline> duplex(
        m, "MewFullDuplex",
        "A station that is master and slave at once on one line. Keyword slave_station (default 1) is its "
        "own "
        "station number; reads addressed to it answer zeros and writes are accepted unless a subclass "
        "overrides the handlers.");
    duplex.def(py::init([](py::args args, py::kwargs kwargs) {
        return make_station<FullDuplexTrampoline>("MewFullDuplex", args, kwargs);
    }));
    bind_worker<MewFullDuplex>(duplex);
    bind_handlers<MewFullDuplex>(duplex);
    bind_line_format(duplex);
    hook_init<MewFullDuplex>(duplex, [](py::handle self) { self.attr("start")(); });

    py::class_<RandomMewSlaveDemo, MewBase, MewSlaveBase, RandomTrampoline> demo(
        m, "RandomMewSlaveDemo",
        "A slave for trials: answers reads addressed to its station with random values and prints every "
        "write. RandomMewSlaveDemo(station, channel, **serial_settings); nothing runs until start().");
    demo.def(py::init([](py::object station_number, py::args args, py::kwargs kwargs) {
        return make_station<RandomTrampoline>("RandomMewSlaveDemo", args, kwargs, int64(station_number));
    }));
    bind_worker<RandomMewSlaveDemo>(demo);
    bind_handlers<RandomMewSlaveDemo>(demo);
    bind_line_format(demo);
    hook_init<RandomMewSlaveDemo>(demo);
}

}  // namespace mew::py_boundary
