// MewMaster: typed reads and writes.
#include "module/bindings.h"
#include "module/role_trampolines.h"
#include "module/station_args.h"

namespace mew::py_boundary {

namespace {

// A word argument: anything beyond 64 bits is still out of range, so it is
// clamped for the range check instead of failing the conversion.
std::int64_t word_arg(py::handle value) {
    return clamped_int64(value);
}
std::vector<std::int64_t> word_list(py::handle values) {
    return int64_list(values, &word_arg);
}

// A value of which only the low 32 bits count, whatever its size or sign.
std::int64_t masked32(py::handle value) {
    return masked_int64(value, 0xFFFFFFFFULL);
}
std::vector<std::int64_t> masked32_list(py::handle values) {
    return int64_list(values, &masked32);
}

// A signed value: beyond 64 bits it is out of range all the same.
std::int64_t signed_arg(py::handle value) {
    return word_arg(value);
}
std::vector<std::int64_t> signed_list(py::handle values) {
    return word_list(values);
}

}  // namespace

void bind_master(py::module_ &m) {
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
#define MEW_READ(method, doc)                                         \
    cls.def(                                                          \
        #method,                                                      \
        [](MewMaster &s, py::handle station_, const py::str &name_) { \
            std::int64_t st = station(station_);                      \
            std::string name(text(name_));                            \
            py::gil_scoped_release nogil;                             \
            return s.MewMaster::method(st, name);                     \
        },                                                            \
        py::arg("station"), py::arg("name"), doc)
#define MEW_READ_N(method, doc)                                                          \
    cls.def(                                                                             \
        #method,                                                                         \
        [](MewMaster &s, py::handle station_, const py::str &name_, py::handle count_) { \
            std::int64_t st = station(station_);                                         \
            std::string name(text(name_));                                               \
            std::int64_t count = int64(count_);                                          \
            std::vector<std::int64_t> values;                                            \
            {                                                                            \
                py::gil_scoped_release nogil;                                            \
                values = s.MewMaster::method(st, name, count);                           \
            }                                                                            \
            return to_list(values);                                                      \
        },                                                                               \
        py::arg("station"), py::arg("name"), py::arg("count"), doc)
#define MEW_WRITE(method, argname, convert, doc)                                         \
    cls.def(                                                                             \
        #method,                                                                         \
        [](MewMaster &s, py::handle station_, const py::str &name_, py::handle value_) { \
            std::int64_t st = station(station_);                                         \
            std::string name(text(name_));                                               \
            auto value = convert(value_);                                                \
            py::gil_scoped_release nogil;                                                \
            s.MewMaster::method(st, name, value);                                        \
        },                                                                               \
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
#undef MEW_READ
#undef MEW_READ_N
#undef MEW_WRITE
}

}  // namespace mew::py_boundary
