// Trampolines of the station roles: the master operations and the slave
// handlers, each a Python call only when the Python class replaces it.
#pragma once

#include <type_traits>

#include "base/errors.h"
#include "link/mew_slave_base.h"
#include "master/mew_master.h"
#include "module/link_trampolines.h"

namespace mew::py_boundary {

inline py::list to_list(const std::vector<std::int64_t> &values) {
    py::list out(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) out[i] = py::int_(values[i]);
    return out;
}

// Results of Python overrides, converted as the C++ caller needs them. A
// truth test can raise: that error goes on, instead of a False that would be
// written to a device or answered as data.
inline bool truth(py::handle o) {
    int t = PyObject_IsTrue(o.ptr());
    if (t < 0) throw py::error_already_set();
    return t == 1;
}
inline std::int64_t integer(py::handle o) {
    return int64(o);
}
inline std::vector<std::int64_t> words(py::handle o) {
    return int64_list(o);
}

inline double real(py::handle o) {
    return seconds(o);
}
inline std::vector<double> reals(py::handle o) {
    std::vector<double> out;
    for (py::handle item : py::reinterpret_borrow<py::iterable>(o)) out.push_back(real(item));
    return out;
}
inline py::list to_list(const std::vector<double> &values) {
    py::list out(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) out[i] = py::float_(values[i]);
    return out;
}
inline py::list to_list(const std::vector<bool> &values) {
    py::list out(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) out[i] = py::bool_(values[i]);
    return out;
}
inline std::vector<bool> truths(py::handle o) {
    std::vector<bool> out;
    for (py::handle item : py::reinterpret_borrow<py::iterable>(o)) out.push_back(truth(item));
    return out;
}
inline py::list to_list(const std::vector<std::string> &names) {
    py::list out(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) out[i] = to_str(names[i]);
    return out;
}
inline py::list to_list(const std::vector<std::pair<std::string, bool>> &contacts) {
    py::list out(contacts.size());
    for (std::size_t i = 0; i < contacts.size(); ++i)
        out[i] = py::make_tuple(to_str(contacts[i].first), contacts[i].second);
    return out;
}
// b4k_mew.PlcStatus, a named tuple, both ways.
py::object to_status(const frames::PlcStatus &status);
frames::PlcStatus status_of(py::handle o);

template <class Base>
class PyHooked : public Base, public PyHooks {
public:
    using Base::Base;
};

inline void ignore(const py::object &) {}

// One overridable method: the C++ one unless the Python class replaces it,
// then the Python one with the GIL, its result converted by `convert`.
// PARAMS, ARGS and PY_ARGS are the parameter list, the arguments for the
// C++ call and those for the Python call, each in parentheses.
#define MEW_HOOKED(R, method, hook, convert, PARAMS, ARGS, PY_ARGS) \
    R method PARAMS override {                                      \
        if (!this->overridden(hook)) return Base::method ARGS;      \
        py::gil_scoped_acquire gil;                                 \
        return convert(this->call PY_ARGS);                         \
    }
#define MEW_READ_HOOK(R, method, hook, convert)                                   \
    MEW_HOOKED(R, method, hook, convert, (i64 station, sv name), (station, name), \
               (hook, station, to_str(name)))
#define MEW_READ_N_HOOK(method, hook)                                                                 \
    MEW_HOOKED(Words, method, hook, words, (i64 station, sv name, i64 count), (station, name, count), \
               (hook, station, to_str(name), count))
#define MEW_WRITE_HOOK(method, hook, T, to_py)                                                      \
    MEW_HOOKED(void, method, hook, ignore, (i64 station, sv name, T value), (station, name, value), \
               (hook, station, to_str(name), to_py(value)))

// The master operations.
template <class Base>
class PyMaster : public PyMasterLink<Base> {
public:
    using PyMasterLink<Base>::PyMasterLink;
    using Words = MewMaster::Words;
    using sv = std::string_view;
    using i64 = std::int64_t;
    static i64 same(i64 v) { return v; }
    static bool same(bool v) { return v; }
    static double same(double v) { return v; }

    MEW_READ_HOOK(bool, get_coil, kGetCoil, truth)
    MEW_READ_HOOK(i64, get_coil_uint16, kGetCoilUint16, integer)
    MEW_READ_N_HOOK(get_multi_coil_uint16, kGetMultiCoilUint16)
    MEW_READ_HOOK(i64, get_uint16, kGetUint16, integer)
    MEW_READ_N_HOOK(get_multi_uint16, kGetMultiUint16)
    MEW_READ_HOOK(i64, get_int16, kGetInt16, integer)
    MEW_READ_HOOK(i64, get_uint32, kGetUint32, integer)
    MEW_READ_HOOK(i64, get_int32, kGetInt32, integer)
    MEW_READ_N_HOOK(get_multi_uint32, kGetMultiUint32)
    MEW_READ_N_HOOK(get_multi_int32, kGetMultiInt32)
    MEW_WRITE_HOOK(set_coil, kSetCoil, bool, same)
    MEW_WRITE_HOOK(set_coil_uint16, kSetCoilUint16, i64, same)
    MEW_WRITE_HOOK(set_multi_coil_uint16, kSetMultiCoilUint16, const Words &, to_list)
    MEW_WRITE_HOOK(set_uint16, kSetUint16, i64, same)
    MEW_WRITE_HOOK(set_multi_uint16, kSetMultiUint16, const Words &, to_list)
    MEW_WRITE_HOOK(set_uint32, kSetUint32, i64, same)
    MEW_WRITE_HOOK(set_int16, kSetInt16, i64, same)
    MEW_WRITE_HOOK(set_int32, kSetInt32, i64, same)
    MEW_WRITE_HOOK(set_multi_int16, kSetMultiInt16, const Words &, to_list)
    MEW_WRITE_HOOK(set_multi_uint32, kSetMultiUint32, const Words &, to_list)
    MEW_WRITE_HOOK(set_multi_int32, kSetMultiInt32, const Words &, to_list)
    MEW_READ_HOOK(double, get_float32, kGetFloat32, real)
    MEW_HOOKED(std::vector<double>, get_multi_float32, kGetMultiFloat32, reals,
               (i64 station, sv name, i64 count), (station, name, count),
               (kGetMultiFloat32, station, to_str(name), count))
    MEW_WRITE_HOOK(set_float32, kSetFloat32, double, same)
    MEW_WRITE_HOOK(set_multi_float32, kSetMultiFloat32, const std::vector<double> &, to_list)
    using Names = std::vector<std::string>;
    using Contacts = std::vector<std::pair<std::string, bool>>;
    MEW_HOOKED(std::vector<bool>, get_coils, kGetCoils, truths, (i64 station, const Names &names),
               (station, names), (kGetCoils, station, to_list(names)))
    MEW_HOOKED(void, set_coils, kSetCoils, ignore, (i64 station, const Contacts &contacts),
               (station, contacts), (kSetCoils, station, to_list(contacts)))
    MEW_HOOKED(frames::PlcStatus, get_status, kGetStatus, status_of, (i64 station), (station),
               (kGetStatus, station))
#define MEW_TIMER_HOOKS(get, get_hook, set, set_hook)                                                     \
    MEW_HOOKED(Words, get, get_hook, words, (i64 station, i64 start, i64 count), (station, start, count), \
               (get_hook, station, start, count))                                                         \
    MEW_HOOKED(void, set, set_hook, ignore, (i64 station, i64 start, const Words &values),                \
               (station, start, values), (set_hook, station, start, to_list(values)))
    MEW_TIMER_HOOKS(get_preset_values, kGetPresetValues, set_preset_values, kSetPresetValues)
    MEW_TIMER_HOOKS(get_elapsed_values, kGetElapsedValues, set_elapsed_values, kSetElapsedValues)
#undef MEW_TIMER_HOOKS
};

// The C++ handler of a slave, or TypeError where the base has none of its
// own (MewSlaveBase itself).
#define MEW_HANDLER(R, method, hook, convert, PARAMS, ARGS, PY_ARGS) \
    R method PARAMS override {                                       \
        if (!this->overridden(hook)) {                               \
            if constexpr (std::is_abstract_v<Base>)                  \
                throw py::type_error("abstract method " #method);    \
            else                                                     \
                return Base::method ARGS;                            \
        }                                                            \
        py::gil_scoped_acquire gil;                                  \
        return convert(this->call PY_ARGS);                          \
    }

// The slave side: request processing and the six handlers.
template <class Base>
class PySlave : public Base {
public:
    using Base::Base;
    using Words = MewSlaveBase::Words;
    using sv = std::string_view;
    using i64 = std::int64_t;

    // A handler or hook of the Python class's own runs off the thread that
    // reads the line: it takes the GIL, and may itself wait for the line.
    bool native_answers() const override {
        for (Hook h : {kProcessRequest, kProcessInvalidFrame, kOnGetCoil, kOnSetCoil, kOnGetMultiCoilUint16,
                       kOnSetMultiCoilUint16, kOnGetMultiUint16, kOnSetMultiUint16})
            if (this->overridden(h)) return false;
        return Base::native_answers();
    }
    static std::string request_result(const py::object &o) {
        return std::string(text(str_result(o, "_process_request")));
    }

    MEW_HOOKED(std::string, process_request, kProcessRequest, request_result, (sv command), (command),
               (kProcessRequest, to_str(command)))
    MEW_HOOKED(void, process_invalid_frame, kProcessInvalidFrame, ignore, (sv frame), (frame),
               (kProcessInvalidFrame, to_str(frame)))
    MEW_HANDLER(bool, on_get_coil, kOnGetCoil, truth, (sv name), (name), (kOnGetCoil, to_str(name)))
    MEW_HANDLER(void, on_set_coil, kOnSetCoil, ignore, (sv name, bool value), (name, value),
                (kOnSetCoil, to_str(name), value))
    MEW_HANDLER(Words, on_get_multi_coil_uint16, kOnGetMultiCoilUint16, words, (sv name, i64 count),
                (name, count), (kOnGetMultiCoilUint16, to_str(name), count))
    MEW_HANDLER(void, on_set_multi_coil_uint16, kOnSetMultiCoilUint16, ignore, (sv name, const Words &values),
                (name, values), (kOnSetMultiCoilUint16, to_str(name), to_list(values)))
    MEW_HANDLER(Words, on_get_multi_uint16, kOnGetMultiUint16, words, (sv name, i64 count), (name, count),
                (kOnGetMultiUint16, to_str(name), count))
    MEW_HANDLER(void, on_set_multi_uint16, kOnSetMultiUint16, ignore, (sv name, const Words &values),
                (name, values), (kOnSetMultiUint16, to_str(name), to_list(values)))
};

// A station that answers commands on its line: its answers leave through
// the library's own send and channel, unless the Python class replaces
// `_send` or the channel is a Python object.
template <class Base>
class PyAnswering : public Base {
public:
    using Base::Base;
    bool native_sends() const override { return !this->overridden(kSend) && !host_channel_; }
    // Set once by the constructor, before any thread runs.
    void set_host_channel(bool host) { host_channel_ = host; }

private:
    bool host_channel_ = false;
};

template <class T, class = void>
struct answers_commands : std::false_type {};
template <class T>
struct answers_commands<T, std::void_t<decltype(std::declval<T &>().set_host_channel(true))>>
    : std::true_type {};

#undef MEW_HOOKED
#undef MEW_READ_HOOK
#undef MEW_READ_N_HOOK
#undef MEW_WRITE_HOOK
#undef MEW_HANDLER

}  // namespace mew::py_boundary
