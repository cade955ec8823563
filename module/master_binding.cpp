// MewMaster: typed reads and writes.
#include <stdexcept>
#include <string>

#include "module/bindings.h"
#include "module/master_args.h"
#include "module/station_args.h"
#include "module/station_trampolines.h"

namespace mew::py_boundary {

// The master a method is called on. pybind11 finds the type of `self` by
// hashing its C++ name on every call; the operations, called in loops, look
// it up once and load `self` the same way from then on.
struct MasterSelf {
    MewMaster *master = nullptr;
};

}  // namespace mew::py_boundary

namespace pybind11::detail {

template <>
class type_caster<mew::py_boundary::MasterSelf> {
public:
    static constexpr auto name = const_name<mew::MewMaster>();
    bool load(handle src, bool convert) {
        static const type_info *const info = get_type_info(typeid(mew::MewMaster));
        type_caster_generic caster(info);
        if (!caster.load(src, convert)) return false;
        value_.master = static_cast<mew::MewMaster *>(caster.value);
        return true;
    }
    template <class>
    using cast_op_type = mew::py_boundary::MasterSelf &;
    explicit operator mew::py_boundary::MasterSelf &() {
        if (!value_.master) throw reference_cast_error();
        return value_;
    }

private:
    mew::py_boundary::MasterSelf value_;
};

}  // namespace pybind11::detail

namespace mew::py_boundary {

namespace {

py::object g_status_type;  // b4k_mew.PlcStatus

MewMaster *loaded_master(py::handle self) {
    py::detail::make_caster<MasterSelf> caster;
    return caster.load(self, true) ? static_cast<MasterSelf &>(caster).master : nullptr;
}

// What pybind11 raises for an exception out of a bound function; called in
// a catch block.
PyObject *raise_current() {
    try {
        throw;
    } catch (py::error_already_set &e) {
        e.restore();
#ifdef __GLIBCXX__
    } catch (abi::__forced_unwind &) {
        throw;
#endif
    } catch (...) {
        if (!py::detail::apply_exception_translators(
                py::detail::get_local_internals().registered_exception_translators) &&
            !py::detail::apply_exception_translators(
                py::detail::get_internals().registered_exception_translators))
            PyErr_SetString(PyExc_SystemError, "Exception escaped from default exception translator!");
    }
    return nullptr;
}

// The reads of one value, which scripts call in loops, come in without
// pybind11's general dispatch when called as m.get_uint16(1, "DT100"): a
// station and a name that is a str, by position. Any other call (keywords,
// other types, a wrong count) goes to the method pybind11 bound, which
// converts or refuses it as it always did.
template <auto Read>
class FastRead {
public:
    static void install(py::class_<MewMaster, MewMasterBase, PyMaster<MewMaster>> &cls, const char *name) {
        py::object bound = cls.attr("__dict__")[name];
        if (!PyInstanceMethod_Check(bound.ptr()))
            throw std::logic_error(std::string("not a method: ") + name);
        // Kept for the life of the process, as the class keeps its methods.
        bound_ = PyInstanceMethod_GET_FUNCTION(bound.ptr());
        Py_INCREF(bound_);
        auto *doc = new std::string(py::str(bound.attr("__doc__")));
        def_ = {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call)),
                METH_FASTCALL | METH_KEYWORDS, doc->c_str()};
        // The same self, module and name as pybind11's function: only the
        // way in differs.
        auto *function = reinterpret_cast<PyCFunctionObject *>(bound_);
        py::object fast =
            py::reinterpret_steal<py::object>(PyCFunction_NewEx(&def_, function->m_self, function->m_module));
        if (!fast) throw py::error_already_set();
        py::object method = py::reinterpret_steal<py::object>(PyInstanceMethod_New(fast.ptr()));
        if (!method) throw py::error_already_set();
        cls.attr(name) = method;
    }

private:
    static inline PyObject *bound_ = nullptr;
    static inline PyMethodDef def_{};

    // args[0] is the master, as for pybind11's function.
    static PyObject *call(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
        if (nargs == 3 && !kwnames && PyUnicode_Check(args[2])) {
            if (MewMaster *master = loaded_master(args[0])) {
                try {
                    const std::int64_t st = station(args[1]);
                    // The str's own bytes: the caller holds it for the call.
                    Py_ssize_t size = 0;
                    const char *bytes = PyUnicode_AsUTF8AndSize(args[2], &size);
                    if (!bytes) return nullptr;
                    const std::string_view name(bytes, static_cast<std::size_t>(size));
                    decltype(Read(*master, st, name)) value;
                    {
                        // The interpreter's own release: this thread holds
                        // the GIL as a plain call of the method does.
                        struct Release {
                            PyThreadState *state = PyEval_SaveThread();
                            ~Release() { PyEval_RestoreThread(state); }
                        } nogil;
                        value = Read(*master, st, name);
                    }
                    return py::cast(value).release().ptr();
                } catch (...) {
                    return raise_current();
                }
            }
        }
        return PyObject_Vectorcall(bound_, args, static_cast<std::size_t>(nargs), kwnames);
    }
};

// The C++ reads themselves, named so that no Python override is called back.
#define MEW_FAST(method)                                                            \
    auto fast_##method(MewMaster &s, std::int64_t station, std::string_view name) { \
        return s.MewMaster::method(station, name);                                  \
    }
MEW_FAST(get_coil)
MEW_FAST(get_coil_uint16)
MEW_FAST(get_uint16)
MEW_FAST(get_int16)
MEW_FAST(get_uint32)
MEW_FAST(get_int32)
MEW_FAST(get_float32)
#undef MEW_FAST

}  // namespace

py::object to_status(const frames::PlcStatus &s) {
    return g_status_type(s.cpu_type, s.version, s.capacity, s.mode, s.run(), s.link, s.error_flags,
                         s.self_diagnosis);
}

frames::PlcStatus status_of(py::handle o) {
    frames::PlcStatus s;
    s.cpu_type = int64(o.attr("cpu_type"));
    s.version = int64(o.attr("version"));
    s.capacity = int64(o.attr("capacity"));
    s.mode = int64(o.attr("mode"));
    s.link = int64(o.attr("link"));
    s.error_flags = int64(o.attr("error_flags"));
    s.self_diagnosis = int64(o.attr("self_diagnosis"));
    return s;
}

void bind_master(py::module_ &m) {
    g_status_type = py::module_::import("collections")
                        .attr("namedtuple")(
                            "PlcStatus", "cpu_type version capacity mode run link error_flags self_diagnosis",
                            py::arg("module") = "b4k_mew");
    g_status_type.attr("__doc__") =
        "A controller's status (RT): CPU type, version, program capacity in K steps, the operation mode "
        "flags and whether they say RUN, link, error flags and the self-diagnosis error.";
    m.attr("PlcStatus") = g_status_type;
    m.attr("STATION_EE") = frames::kStationEE;
    using Trampoline = PyMaster<MewMaster>;
    py::class_<MewMaster, MewMasterBase, Trampoline> cls(
        m, "MewMaster",
        "The master station: typed reads and writes of contacts and registers at a station, one exchange "
        "each. Starts itself when constructed.");
    cls.def(py::init([](py::args args, py::kwargs kwargs) {
        return make_station<Trampoline>("MewMaster", args, kwargs);
    }));
    hook_init<MewMaster>(cls, [](py::handle self) { self.attr("start")(); });

    // Each operation converts its arguments with the GIL, then runs without
    // it; it names the C++ method it runs, so a Python override calling
    // super() does not come back to itself.
#define MEW_READ(method, doc)                                            \
    cls.def(                                                             \
        #method,                                                         \
        [](MasterSelf self, py::handle station_, const py::str &name_) { \
            MewMaster &s = *self.master;                                 \
            std::int64_t st = station(station_);                         \
            std::string name(text(name_));                               \
            py::gil_scoped_release nogil;                                \
            return s.MewMaster::method(st, name);                        \
        },                                                               \
        py::arg("station"), py::arg("name"), doc)
#define MEW_READ_N(method, doc)                                                             \
    cls.def(                                                                                \
        #method,                                                                            \
        [](MasterSelf self, py::handle station_, const py::str &name_, py::handle count_) { \
            MewMaster &s = *self.master;                                                    \
            std::int64_t st = station(station_);                                            \
            std::string name(text(name_));                                                  \
            std::int64_t count = int64(count_);                                             \
            std::vector<std::int64_t> values;                                               \
            {                                                                               \
                py::gil_scoped_release nogil;                                               \
                values = s.MewMaster::method(st, name, count);                              \
            }                                                                               \
            return to_list(values);                                                         \
        },                                                                                  \
        py::arg("station"), py::arg("name"), py::arg("count"), doc)
#define MEW_WRITE(method, argname, convert, doc)                                            \
    cls.def(                                                                                \
        #method,                                                                            \
        [](MasterSelf self, py::handle station_, const py::str &name_, py::handle value_) { \
            MewMaster &s = *self.master;                                                    \
            std::int64_t st = station(station_);                                            \
            std::string name(text(name_));                                                  \
            auto value = convert(value_);                                                   \
            py::gil_scoped_release nogil;                                                   \
            s.MewMaster::method(st, name, value);                                           \
        },                                                                                  \
        py::arg("station"), py::arg("name"), py::arg(argname), doc)

    MEW_READ(get_coil, "Reads one contact (\"R0010\", \"Y10\"): True when set.");
    MEW_READ(get_coil_uint16, "Reads one word of 16 contacts (\"WX0\").");
    MEW_READ_N(get_multi_coil_uint16, "Reads count words of contacts from name (\"WX0\").");
    MEW_READ(get_uint16, "Reads one register (\"DT100\") as 0..65535.");
    MEW_READ_N(get_multi_uint16, "Reads count registers from name as 0..65535 each.");
    MEW_READ(get_int16, "Reads one register as -32768..32767.");
    MEW_READ(get_uint32, "Reads two registers as one 32-bit value, low word first.");
    MEW_READ(get_int32, "Reads two registers as one signed 32-bit value.");
    MEW_READ_N(get_multi_uint32, "Reads count 32-bit values (2 * count registers) in one command.");
    MEW_READ_N(get_multi_int32, "Reads count signed 32-bit values in one command.");

    MEW_WRITE(set_coil, "value", truth, "Sets (value true) or resets one contact.");
    MEW_WRITE(set_coil_uint16, "value", word_arg, "Writes one word of 16 contacts (\"WY0\").");
    MEW_WRITE(set_multi_coil_uint16, "values", word_list, "Writes words of contacts from name.");
    MEW_WRITE(set_uint16, "value", word_arg, "Writes one register, 0..65535.");
    MEW_WRITE(set_multi_uint16, "values", word_list, "Writes registers from name, 0..65535 each.");
    MEW_WRITE(set_uint32, "value", masked32,
              "Writes the low 32 bits of value to two registers, low word first.");
    MEW_WRITE(set_int16, "value", signed_arg, "Writes one register from -32768..32767.");
    MEW_WRITE(set_int32, "value", signed_arg, "Writes a signed 32-bit value to two registers.");
    MEW_WRITE(set_multi_int16, "values", signed_list, "Writes registers from signed 16-bit values.");
    MEW_WRITE(set_multi_uint32, "values", masked32_list, "Writes 32-bit values, two registers each.");
    MEW_WRITE(set_multi_int32, "values", signed_list, "Writes signed 32-bit values, two registers each.");
    MEW_READ(get_float32, "Reads two registers as an IEEE 754 single, low word first.");
    FastRead<fast_get_coil>::install(cls, "get_coil");
    FastRead<fast_get_coil_uint16>::install(cls, "get_coil_uint16");
    FastRead<fast_get_uint16>::install(cls, "get_uint16");
    FastRead<fast_get_int16>::install(cls, "get_int16");
    FastRead<fast_get_uint32>::install(cls, "get_uint32");
    FastRead<fast_get_int32>::install(cls, "get_int32");
    FastRead<fast_get_float32>::install(cls, "get_float32");
    cls.def(
        "get_multi_float32",
        [](MewMaster &s, py::handle station_, const py::str &name_, py::handle count_) {
            std::int64_t st = station(station_);
            std::string name(text(name_));
            std::int64_t count = int64(count_);
            std::vector<double> values;
            {
                py::gil_scoped_release nogil;
                values = s.MewMaster::get_multi_float32(st, name, count);
            }
            return to_list(values);
        },
        py::arg("station"), py::arg("name"), py::arg("count"), "Reads count singles (2 * count registers).");
    MEW_WRITE(set_float32, "value", real,
              "Writes an IEEE 754 single to two registers; ValueError for NaN and infinities.");
    MEW_WRITE(set_multi_float32, "values", real_list, "Writes singles, two registers each.");
    cls.def(
        "get_coils",
        [](MewMaster &s, py::handle station_, py::handle names_) {
            std::int64_t st = station(station_);
            std::vector<std::string> names = name_list(names_);
            std::vector<bool> values;
            {
                py::gil_scoped_release nogil;
                values = s.MewMaster::get_coils(st, names);
            }
            return to_list(values);
        },
        py::arg("station"), py::arg("names"),
        "Reads 1 to 8 single contacts in one command: a list of bools.");
    cls.def(
        "set_coils",
        [](MewMaster &s, py::handle station_, py::handle pairs_) {
            std::int64_t st = station(station_);
            auto contacts = contact_list(pairs_);
            py::gil_scoped_release nogil;
            s.MewMaster::set_coils(st, contacts);
        },
        py::arg("station"), py::arg("contacts"),
        "Writes 1 to 8 single contacts, (name, value) pairs, in one command.");
    cls.def(
        "get_status",
        [](MewMaster &s, py::handle station_) {
            std::int64_t st = station(station_);
            frames::PlcStatus status;
            {
                py::gil_scoped_release nogil;
                status = s.MewMaster::get_status(st);
            }
            return to_status(status);
        },
        py::arg("station"), "Reads the controller's status (RT) as a PlcStatus.");
#define MEW_TIMERS(get, set, what)                                                                      \
    cls.def(                                                                                            \
        #get,                                                                                           \
        [](MewMaster &s, py::handle station_, py::handle start_, py::handle count_) {                   \
            std::int64_t st = station(station_), start = int64(start_), count = int64(count_);          \
            std::vector<std::int64_t> values;                                                           \
            {                                                                                           \
                py::gil_scoped_release nogil;                                                           \
                values = s.MewMaster::get(st, start, count);                                            \
            }                                                                                           \
            return to_list(values);                                                                     \
        },                                                                                              \
        py::arg("station"), py::arg("start"), py::arg("count"), "Reads count timer/counter " what "."); \
    cls.def(                                                                                            \
        #set,                                                                                           \
        [](MewMaster &s, py::handle station_, py::handle start_, py::handle values_) {                  \
            std::int64_t st = station(station_), start = int64(start_);                                 \
            auto values = word_list(values_);                                                           \
            py::gil_scoped_release nogil;                                                               \
            s.MewMaster::set(st, start, values);                                                        \
        },                                                                                              \
        py::arg("station"), py::arg("start"), py::arg("values"), "Writes timer/counter " what ".")
    MEW_TIMERS(get_preset_values, set_preset_values, "set values (presets) from number start");
    MEW_TIMERS(get_elapsed_values, set_elapsed_values, "elapsed values from number start");
#undef MEW_TIMERS
#undef MEW_READ
#undef MEW_READ_N
#undef MEW_WRITE
    bind_line_format(cls);
}

}  // namespace mew::py_boundary
