// Instruments, their point views and the instrument manager.
//
// Instruments and the manager keep their Python references (the station in
// `_mew`, the instrument lists) as ordinary attributes, so the cycle between
// a manager and the instruments that point back at it is one the garbage
// collector can see and break.
#include "base/errors.h"
#include "inst/inst.h"
#include "inst/inst_manager.h"
#include "module/bindings.h"
#include "module/station_args.h"
#include "module/station_trampolines.h"

namespace mew::py_boundary {

namespace {

// Any Python object with the four station methods.
class PyInstStation : public InstStation {
public:
    explicit PyInstStation(py::handle obj) : obj_(obj) {}
    std::int64_t get_uint16(std::int64_t station, std::string_view name) override {
        py::gil_scoped_acquire gil;
        return int64(obj_.attr("get_uint16")(station, to_str(name)));
    }
    std::int64_t get_coil_uint16(std::int64_t station, std::string_view name) override {
        py::gil_scoped_acquire gil;
        return int64(obj_.attr("get_coil_uint16")(station, to_str(name)));
    }
    void set_coil(std::int64_t station, std::string_view name, bool value) override {
        py::gil_scoped_acquire gil;
        obj_.attr("set_coil")(station, to_str(name), value);
    }
    void set_coil_uint16(std::int64_t station, std::string_view name, std::int64_t value) override {
        py::gil_scoped_acquire gil;
        obj_.attr("set_coil_uint16")(station, to_str(name), value);
    }

private:
    py::handle obj_;  // the caller keeps it alive for the call
};

// Runs f with the instrument station for `mew`, without the GIL: a master of
// this library is called in C++ (its Python overrides still apply), anything
// else through its Python methods.
template <class F>
auto with_station(py::handle mew, F &&f) {
    if (py::isinstance<MewMaster>(mew)) {
        MasterInstStation station(mew.cast<MewMaster &>());
        py::gil_scoped_release nogil;
        return f(static_cast<InstStation &>(station));
    }
    PyInstStation station(mew);
    py::gil_scoped_release nogil;
    return f(static_cast<InstStation &>(station));
}

class PyInst : public Inst {
public:
    using Inst::Inst;
    int inst_type() const override { throw TypeError("inst_type is abstract"); }
};

// An index into a word or a flat list: beyond 64 bits it is as far out as any
// large one.
std::int64_t index_arg(py::handle value) {
    return clamped_int64(value);
}

std::int64_t mask16(py::handle value) {
    return masked_int64(value, 0xFFFF);
}

// set_y compares the value with the point's state as the host compares a
// value with True or False: only booleans and the integers 0 and 1 can equal one.
void set_point(py::handle inst, InstXY &xy, py::handle index_, py::handle value_) {
    std::int64_t index = index_arg(index_);
    // The clamped index would name a number the caller never gave.
    if (index > 15)
        throw py::value_error("output point index out of range 0..15: " + std::string(py::str(index_)));
    bool value = truth(value_);
    bool comparable = PyBool_Check(value_.ptr());
    if (!comparable && PyLong_Check(value_.ptr())) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(value_.ptr(), &overflow);
        comparable = !overflow && (v == 0 || v == 1);
    }
    if (!xy.changes_y(index, value, comparable)) return;  // nothing to send
    with_station(inst.attr("_mew"), [&](InstStation &st) {
        xy.set_y(st, index, value, comparable);
        return 0;
    });
}

void set_word(py::handle inst, InstXY &xy, py::handle value_) {
    std::int64_t value = mask16(value_);
    if (value == xy.get_wy()) return;
    with_station(inst.attr("_mew"), [&](InstStation &st) {
        xy.set_wy(st, value);
        return 0;
    });
}

// An instrument of a flat list, for a point index or a word index. The list
// itself judges the index, so one of any size fails as the host's lists fail.
py::object instrument(py::handle list, py::handle index) {
    return list[index];
}

InstXY *as_xy(py::handle obj) {
    return py::isinstance<InstXY>(obj) ? &obj.cast<InstXY &>() : nullptr;
}

// The instrument classes' __init__ also keeps the station, as `_mew`.
void keep_station(py::handle cls, bool abstract) {
    py::object original = cls.attr("__init__");
    py::handle bound = cls;
    cls.attr("__init__") = py::cpp_function(
        [original, bound, abstract](py::handle self, py::object mew, py::object station) {
            if (abstract) check_abstract(self, bound, {"inst_type"});
            original(self, mew, station);
            self.attr("_mew") = mew;
        },
        py::is_method(cls), py::arg("mew"), py::arg("station"),
        "An instrument at station of the station object mew; reads the device's firmware word.");
}

template <class T>
std::unique_ptr<T> make_inst(py::object mew, py::object station) {
    std::int64_t number = int64(station);
    return with_station(mew, [&](InstStation &st) { return std::make_unique<T>(st, number); });
}

class PyRegistry : public InstManager::Registry {
public:
    PyRegistry(py::handle manager, py::handle module) : manager_(manager), module_(module) {}
    void add(int kind, std::int64_t station) override {
        py::gil_scoped_acquire gil;
        static const char *const classes[] = {"InstUnknown", "InstXY", "InstAxis", "InstAD"};
        static const char *const lists[] = {nullptr, "_xy_list", "_axis_list", "_ad_list"};
        py::object inst = module_.attr(classes[kind])(manager_, station);
        if (lists[kind]) manager_.attr(lists[kind]).attr("append")(inst);
        manager_.attr("_all_list").attr("append")(inst);
    }

private:
    py::handle manager_, module_;
};

std::size_t list_length(py::handle manager, const char *name) {
    return py::len(manager.attr(name));
}

template <class View>
py::class_<View> bind_view(py::module_ &m, const char *name, const char *field, const char *doc) {
    py::class_<View> cls(m, name, doc);
    cls.def(py::init<py::object>(), py::arg("xy_list"),
            "A view over a list of XY instruments (kept, not copied).");
    cls.def_property_readonly(
        field, [](const View &v) { return v.list; }, "The list of XY instruments it shows.");
    return cls;
}

struct PointView {
    explicit PointView(py::object l) : list(std::move(l)) {}
    py::object list;
};
struct XList : PointView {
    using PointView::PointView;
};
struct YList : PointView {
    using PointView::PointView;
};
struct WXList : PointView {
    using PointView::PointView;
};
struct WYList : PointView {
    using PointView::PointView;
};

struct X16 {
    explicit X16(py::object i) : inst(std::move(i)) {}
    py::object inst;
};
struct Y16 {
    explicit Y16(py::object i) : inst(std::move(i)) {}
    py::object inst;
};

py::object get_x(py::handle inst, py::handle index) {
    if (InstXY *xy = as_xy(inst)) return py::bool_(xy->get_x(index_arg(index)));
    return inst.attr("get_x")(index);
}
py::object get_y(py::handle inst, py::handle index) {
    if (InstXY *xy = as_xy(inst)) return py::bool_(xy->get_y(index_arg(index)));
    return inst.attr("get_y")(index);
}
void put_y(py::handle inst, py::handle index, py::handle value) {
    if (InstXY *xy = as_xy(inst)) return set_point(inst, *xy, index, value);
    inst.attr("set_y")(index, value);
}

}  // namespace

void bind_inst(py::module_ &m) {
    m.attr("INST_TYPE_UNKNOWN") = INST_TYPE_UNKNOWN;
    m.attr("INST_TYPE_XY") = INST_TYPE_XY;
    m.attr("INST_TYPE_Axis") = INST_TYPE_Axis;
    m.attr("INST_TYPE_AD") = INST_TYPE_AD;

    py::class_<Inst, PyInst> inst(m, "Inst", py::dynamic_attr(),
                                  "An instrument: one device on the line, with its station number and the "
                                  "firmware word read from its \"S1\" register. Abstract.");
    inst.def(py::init(&make_inst<PyInst>), py::arg("mew"), py::arg("station"));
    inst.def_property_readonly("inst_type", &Inst::inst_type,
                               "The kind of instrument, an INST_TYPE_ constant.");
    inst.def_property_readonly("station", &Inst::station, "The device's station number.");
    inst.def_property_readonly("firmware_version", &Inst::firmware_version,
                               "The raw \"S1\" word read at construction.");
    inst.def_property_readonly("_station", &Inst::station, "The device's station number.");
    inst.def_property_readonly("_firmware_version", &Inst::firmware_version, "The raw \"S1\" word.");
    inst.def_static(
        "query_inst_type",
        [](py::object mew, py::handle station) {
            std::int64_t n = int64(station);
            return with_station(mew, [n](InstStation &st) { return Inst::query_inst_type(st, n); });
        },
        py::arg("mew"), py::arg("station"), "The device's type code: its \"S0\" register.");
    inst.def_static(
        "query_firmware_version",
        [](py::object mew, py::handle station) {
            std::int64_t n = int64(station);
            return with_station(mew, [n](InstStation &st) { return Inst::query_firmware_version(st, n); });
        },
        py::arg("mew"), py::arg("station"), "The device's firmware word: its \"S1\" register.");
    keep_station(inst, true);

    py::class_<InstUnknown, Inst> unknown(m, "InstUnknown", "A device of a type this library does not know.");
    unknown.def(py::init(&make_inst<InstUnknown>), py::arg("mew"), py::arg("station"));
    keep_station(unknown, false);
    py::class_<InstAxis, Inst> axis(m, "InstAxis", "A motion-axis device.");
    axis.def(py::init(&make_inst<InstAxis>), py::arg("mew"), py::arg("station"));
    keep_station(axis, false);
    py::class_<InstAD, Inst> ad(m, "InstAD", "An analogue device.");
    ad.def(py::init(&make_inst<InstAD>), py::arg("mew"), py::arg("station"));
    keep_station(ad, false);

    py::class_<X16>(m, "X16", "The 16 inputs of one InstXY, by index; read only.")
        .def(py::init<py::object>(), py::arg("inst_xy"), "A view of the inputs of inst_xy.")
        .def_property_readonly(
            "_inst_xy", [](const X16 &v) { return v.inst; }, "The instrument it shows.")
        .def(
            "__getitem__", [](const X16 &v, py::handle item) { return get_x(v.inst, item); },
            "Input point item: inst_xy.get_x(item).");
    py::class_<Y16>(m, "Y16",
                    "The 16 outputs of one InstXY, by index; assigning one writes it when it changes.")
        .def(py::init<py::object>(), py::arg("inst_xy"), "A view of the outputs of inst_xy.")
        .def_property_readonly(
            "_inst_xy", [](const Y16 &v) { return v.inst; }, "The instrument it shows.")
        .def(
            "__getitem__", [](const Y16 &v, py::handle item) { return get_y(v.inst, item); },
            "Output point item: inst_xy.get_y(item).")
        .def(
            "__setitem__", [](const Y16 &v, py::handle key, py::handle value) { put_y(v.inst, key, value); },
            "Sets output point key: inst_xy.set_y(key, value).");

    py::class_<InstXY, Inst> xy(m, "InstXY",
                                "A digital I/O device: 16 inputs (\"WX0\") and 16 outputs (\"WY0\"), kept as "
                                "copies; outputs are written only when they change.");
    xy.def(py::init(&make_inst<InstXY>), py::arg("mew"), py::arg("station"));
    keep_station(xy, false);
    xy.def_property_readonly("_x", &InstXY::x, "The copy of the input word.");
    xy.def_property_readonly("_y", &InstXY::y, "The copy of the output word.");
    xy.def(
        "get_x16_object", [](py::object self) { return X16(self); }, "A new X16 view of the inputs.");
    xy.def(
        "get_y16_object", [](py::object self) { return Y16(self); }, "A new Y16 view of the outputs.");
    xy.def(
        "get_x", [](InstXY &s, py::handle index) { return s.get_x(index_arg(index)); }, py::arg("index"),
        "Input point index, from the copy.");
    xy.def("get_wx", &InstXY::get_wx, "The input word, from the copy.");
    xy.def(
        "get_y", [](InstXY &s, py::handle index) { return s.get_y(index_arg(index)); }, py::arg("index"),
        "Output point index, from the copy.");
    xy.def("get_wy", &InstXY::get_wy, "The output word, from the copy.");
    xy.def(
        "set_y",
        [](py::handle self, py::handle index, py::handle value) {
            set_point(self, self.cast<InstXY &>(), index, value);
        },
        py::arg("index"), py::arg("value"), "Sets output point index (0..15); writes only when it changes.");
    xy.def(
        "set_wy", [](py::handle self, py::handle value) { set_word(self, self.cast<InstXY &>(), value); },
        py::arg("value"), "Sets the output word (low 16 bits); writes only when it changes.");
    xy.def(
        "on_update_wx",
        [](InstXY &s, py::handle value) {
            auto [now, old] = s.on_update_wx(mask16(value));
            return py::make_tuple(now, old);
        },
        py::arg("value"), "Takes a new input word (low 16 bits); returns (new, old).");

    bind_view<XList>(m, "_InstXList", "_inst_x_list",
                     "Every input point of every XY instrument, by flat index.")
        .def(
            "__getitem__",
            [](const XList &v, py::handle item) {
                auto [i, sub] = InstXY::locate(index_arg(item));
                return get_x(instrument(v.list, py::int_(i)), py::int_(sub));
            },
            "Input point item % 16 of XY instrument item // 16.");
    bind_view<YList>(m, "_InstYList", "_inst_y_list",
                     "Every output point of every XY instrument, by flat index.")
        .def(
            "__getitem__",
            [](const YList &v, py::handle item) {
                auto [i, sub] = InstXY::locate(index_arg(item));
                return get_y(instrument(v.list, py::int_(i)), py::int_(sub));
            },
            "Output point item % 16 of XY instrument item // 16.")
        .def(
            "__setitem__",
            [](const YList &v, py::handle key, py::handle value) {
                auto [i, sub] = InstXY::locate(index_arg(key));
                put_y(instrument(v.list, py::int_(i)), py::int_(sub), value);
            },
            "Sets output point key % 16 of XY instrument key // 16 (written only when it changes).");
    bind_view<WXList>(m, "_InstWXList", "_inst_wx_list", "The input word of each XY instrument.")
        .def(
            "__getitem__",
            [](const WXList &v, py::handle item) { return instrument(v.list, item).attr("get_wx")(); },
            "The input word of XY instrument item.");
    bind_view<WYList>(m, "_InstWYList", "_inst_wy_list", "The output word of each XY instrument.")
        .def(
            "__getitem__",
            [](const WYList &v, py::handle item) { return instrument(v.list, item).attr("get_wy")(); },
            "The output word of XY instrument item.")
        .def(
            "__setitem__",
            [](const WYList &v, py::handle key, py::handle value) {
                instrument(v.list, key).attr("set_wy")(value);
            },
            "Sets the output word of XY instrument key (written only when it changes).");

    using Trampoline = PyAnswering<PySlave<PyMaster<InstManager>>>;
    py::class_<InstManager, MewFullDuplex, Trampoline> manager(
        m, "InstManager", py::dynamic_attr(),
        "A full-duplex station that finds the remote I/O devices on its line (initialize_inst_list) and "
        "presents the points of all XY devices as flat lists x, y, wx, wy.");
    manager.def(py::init([](py::args args, py::kwargs kwargs) {
        return make_station<Trampoline>("InstManager", args, kwargs);
    }));
    manager.def(
        "initialize_inst_list",
        [](py::object self) {
            InstManager &cpp = self.cast<InstManager &>();
            PyRegistry registry(self, py::module_::import("b4k_mew"));
            MasterInstStation station(cpp);
            py::gil_scoped_release nogil;
            cpp.initialize_inst_list(station, registry);
        },
        "Scans stations 1, 2, 3, ... until one fails, creating one instrument per device; appends to the "
        "lists.");
    manager.def_property_readonly(
        "inst_count", [](py::handle self) { return list_length(self, "_all_list"); },
        "Instruments of every kind.");
    manager.def_property_readonly(
        "xy_count", [](py::handle self) { return list_length(self, "_xy_list"); }, "XY instruments.");
    manager.def_property_readonly(
        "axis_count", [](py::handle self) { return list_length(self, "_axis_list"); }, "Axis instruments.");
    manager.def_property_readonly(
        "ad_count", [](py::handle self) { return list_length(self, "_ad_list"); }, "Analogue instruments.");
    manager.def_property_readonly(
        "axis", [](py::handle self) { return self.attr("_axis_list"); },
        "The list of axis instruments itself.");
    manager.def_property_readonly(
        "x", [](py::handle self) { return XList(self.attr("_xy_list")); },
        "Every input point, by flat index.");
    manager.def_property_readonly(
        "y", [](py::handle self) { return YList(self.attr("_xy_list")); },
        "Every output point, by flat index.");
    manager.def_property_readonly(
        "wx", [](py::handle self) { return WXList(self.attr("_xy_list")); },
        "The input word of each XY instrument.");
    manager.def_property_readonly(
        "wy", [](py::handle self) { return WYList(self.attr("_xy_list")); },
        "The output word of each XY instrument.");
    hook_init<InstManager>(manager, [](py::handle self) {
        py::list unknown, xy_list, axis_list, ad_list;
        self.attr("_all_list") = py::list();
        self.attr("_xy_list") = xy_list;
        self.attr("_axis_list") = axis_list;
        self.attr("_ad_list") = ad_list;
        self.attr("_unknown_list") = unknown;
        py::dict by_type;
        by_type[py::int_(INST_TYPE_UNKNOWN)] = unknown;
        by_type[py::int_(INST_TYPE_XY)] = xy_list;
        by_type[py::int_(INST_TYPE_Axis)] = axis_list;
        by_type[py::int_(INST_TYPE_AD)] = ad_list;
        self.attr("_inst_list_dict") = by_type;
        self.attr("start")();
    });
}

}  // namespace mew::py_boundary
