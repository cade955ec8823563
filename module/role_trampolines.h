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

template <class Base>
class PyHooked : public Base, public PyHooks {
public:
    using Base::Base;
};

// The master operations: each one a Python call only when the Python class
// replaces it.
template <class Base>
class PyMaster : public PyMasterLink<Base> {
public:
    using PyMasterLink<Base>::PyMasterLink;
    using Words = MewMaster::Words;
    using sv = std::string_view;
    using i64 = std::int64_t;

    bool get_coil(i64 station, sv name) override {
        if (!this->overridden(kGetCoil)) return Base::get_coil(station, name);
        py::gil_scoped_acquire gil;
        return truth(this->call(kGetCoil, station, to_str(name)));
    }
    i64 get_coil_uint16(i64 station, sv name) override {
        if (!this->overridden(kGetCoilUint16)) return Base::get_coil_uint16(station, name);
        py::gil_scoped_acquire gil;
        return integer(this->call(kGetCoilUint16, station, to_str(name)));
    }
    Words get_multi_coil_uint16(i64 station, sv name, i64 count) override {
        if (!this->overridden(kGetMultiCoilUint16)) return Base::get_multi_coil_uint16(station, name, count);
        py::gil_scoped_acquire gil;
        return words(this->call(kGetMultiCoilUint16, station, to_str(name), count));
    }
    i64 get_uint16(i64 station, sv name) override {
        if (!this->overridden(kGetUint16)) return Base::get_uint16(station, name);
        py::gil_scoped_acquire gil;
        return integer(this->call(kGetUint16, station, to_str(name)));
    }
    Words get_multi_uint16(i64 station, sv name, i64 count) override {
        if (!this->overridden(kGetMultiUint16)) return Base::get_multi_uint16(station, name, count);
        py::gil_scoped_acquire gil;
        return words(this->call(kGetMultiUint16, station, to_str(name), count));
    }
    i64 get_int16(i64 station, sv name) override {
        if (!this->overridden(kGetInt16)) return Base::get_int16(station, name);
        py::gil_scoped_acquire gil;
        return integer(this->call(kGetInt16, station, to_str(name)));
    }
    i64 get_uint32(i64 station, sv name) override {
        if (!this->overridden(kGetUint32)) return Base::get_uint32(station, name);
        py::gil_scoped_acquire gil;
        return integer(this->call(kGetUint32, station, to_str(name)));
    }
    i64 get_int32(i64 station, sv name) override {
        if (!this->overridden(kGetInt32)) return Base::get_int32(station, name);
        py::gil_scoped_acquire gil;
        return integer(this->call(kGetInt32, station, to_str(name)));
    }
    Words get_multi_uint32(i64 station, sv name, i64 count) override {
        if (!this->overridden(kGetMultiUint32)) return Base::get_multi_uint32(station, name, count);
        py::gil_scoped_acquire gil;
        return words(this->call(kGetMultiUint32, station, to_str(name), count));
    }
    Words get_multi_int32(i64 station, sv name, i64 count) override {
        if (!this->overridden(kGetMultiInt32)) return Base::get_multi_int32(station, name, count);
        py::gil_scoped_acquire gil;
        return words(this->call(kGetMultiInt32, station, to_str(name), count));
    }
    void set_coil(i64 station, sv name, bool value) override {
        if (!this->overridden(kSetCoil)) return Base::set_coil(station, name, value);
        py::gil_scoped_acquire gil;
        this->call(kSetCoil, station, to_str(name), value);
    }
    void set_coil_uint16(i64 station, sv name, i64 value) override {
        if (!this->overridden(kSetCoilUint16)) return Base::set_coil_uint16(station, name, value);
        py::gil_scoped_acquire gil;
        this->call(kSetCoilUint16, station, to_str(name), value);
    }
    void set_multi_coil_uint16(i64 station, sv name, const Words &values) override {
        if (!this->overridden(kSetMultiCoilUint16)) return Base::set_multi_coil_uint16(station, name, values);
        py::gil_scoped_acquire gil;
        this->call(kSetMultiCoilUint16, station, to_str(name), to_list(values));
    }
    void set_uint16(i64 station, sv name, i64 value) override {
        if (!this->overridden(kSetUint16)) return Base::set_uint16(station, name, value);
        py::gil_scoped_acquire gil;
        this->call(kSetUint16, station, to_str(name), value);
    }
    void set_multi_uint16(i64 station, sv name, const Words &values) override {
        if (!this->overridden(kSetMultiUint16)) return Base::set_multi_uint16(station, name, values);
        py::gil_scoped_acquire gil;
        this->call(kSetMultiUint16, station, to_str(name), to_list(values));
    }
    void set_uint32(i64 station, sv name, i64 value) override {
        if (!this->overridden(kSetUint32)) return Base::set_uint32(station, name, value);
        py::gil_scoped_acquire gil;
        this->call(kSetUint32, station, to_str(name), value);
    }
    void set_int16(i64 station, sv name, i64 value) override {
        if (!this->overridden(kSetInt16)) return Base::set_int16(station, name, value);
        py::gil_scoped_acquire gil;
        this->call(kSetInt16, station, to_str(name), value);
    }
    void set_int32(i64 station, sv name, i64 value) override {
        if (!this->overridden(kSetInt32)) return Base::set_int32(station, name, value);
        py::gil_scoped_acquire gil;
        this->call(kSetInt32, station, to_str(name), value);
    }
    void set_multi_int16(i64 station, sv name, const Words &values) override {
        if (!this->overridden(kSetMultiInt16)) return Base::set_multi_int16(station, name, values);
        py::gil_scoped_acquire gil;
        this->call(kSetMultiInt16, station, to_str(name), to_list(values));
    }
    void set_multi_uint32(i64 station, sv name, const Words &values) override {
        if (!this->overridden(kSetMultiUint32)) return Base::set_multi_uint32(station, name, values);
        py::gil_scoped_acquire gil;
        this->call(kSetMultiUint32, station, to_str(name), to_list(values));
    }
    void set_multi_int32(i64 station, sv name, const Words &values) override {
        if (!this->overridden(kSetMultiInt32)) return Base::set_multi_int32(station, name, values);
        py::gil_scoped_acquire gil;
        this->call(kSetMultiInt32, station, to_str(name), to_list(values));
    }
};

// The slave side: request processing and the six handlers.
template <class Base>
class PySlave : public Base {
public:
    using Base::Base;
    using Words = MewSlaveBase::Words;
    using sv = std::string_view;
    using i64 = std::int64_t;

    std::string process_request(sv command) override {
        if (!this->overridden(kProcessRequest)) return Base::process_request(command);
        py::gil_scoped_acquire gil;
        return std::string(
            text(str_result(this->call(kProcessRequest, to_str(command)), "_process_request")));
    }
    void process_invalid_frame(sv frame) override {
        if (!this->overridden(kProcessInvalidFrame)) return Base::process_invalid_frame(frame);
        py::gil_scoped_acquire gil;
        this->call(kProcessInvalidFrame, to_str(frame));
    }
    bool on_get_coil(sv name) override {
        if (!this->overridden(kOnGetCoil)) {
            if constexpr (std::is_abstract_v<Base>)
                throw py::type_error("abstract method on_get_coil");
            else
                return Base::on_get_coil(name);
        }
        py::gil_scoped_acquire gil;
        return truth(this->call(kOnGetCoil, to_str(name)));
    }
    void on_set_coil(sv name, bool value) override {
        if (!this->overridden(kOnSetCoil)) {
            if constexpr (std::is_abstract_v<Base>)
                throw py::type_error("abstract method on_set_coil");
            else
                return Base::on_set_coil(name, value);
        }
        py::gil_scoped_acquire gil;
        this->call(kOnSetCoil, to_str(name), value);
    }
    Words on_get_multi_coil_uint16(sv name, i64 count) override {
        if (!this->overridden(kOnGetMultiCoilUint16)) {
            if constexpr (std::is_abstract_v<Base>)
                throw py::type_error("abstract method on_get_multi_coil_uint16");
            else
                return Base::on_get_multi_coil_uint16(name, count);
        }
        py::gil_scoped_acquire gil;
        return words(this->call(kOnGetMultiCoilUint16, to_str(name), count));
    }
    void on_set_multi_coil_uint16(sv name, const Words &values) override {
        if (!this->overridden(kOnSetMultiCoilUint16)) {
            if constexpr (std::is_abstract_v<Base>)
                throw py::type_error("abstract method on_set_multi_coil_uint16");
            else
                return Base::on_set_multi_coil_uint16(name, values);
        }
        py::gil_scoped_acquire gil;
        this->call(kOnSetMultiCoilUint16, to_str(name), to_list(values));
    }
    Words on_get_multi_uint16(sv name, i64 count) override {
        if (!this->overridden(kOnGetMultiUint16)) {
            if constexpr (std::is_abstract_v<Base>)
                throw py::type_error("abstract method on_get_multi_uint16");
            else
                return Base::on_get_multi_uint16(name, count);
        }
        py::gil_scoped_acquire gil;
        return words(this->call(kOnGetMultiUint16, to_str(name), count));
    }
    void on_set_multi_uint16(sv name, const Words &values) override {
        if (!this->overridden(kOnSetMultiUint16)) {
            if constexpr (std::is_abstract_v<Base>)
                throw py::type_error("abstract method on_set_multi_uint16");
            else
                return Base::on_set_multi_uint16(name, values);
        }
        py::gil_scoped_acquire gil;
        this->call(kOnSetMultiUint16, to_str(name), to_list(values));
    }
};

}  // namespace mew::py_boundary
