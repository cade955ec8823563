// The arguments of the master's operations, converted as the host's own
// conversions would: one place for the blocking and the asyncio master.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "module/station_trampolines.h"

namespace mew::py_boundary {

// A word argument: anything beyond 64 bits is still out of range, so it is
// clamped for the range check instead of failing the conversion.
inline std::int64_t word_arg(py::handle value) {
    return clamped_int64(value);
}
inline std::vector<std::int64_t> word_list(py::handle values) {
    return int64_list(values, &word_arg);
}

// A value of which only the low 32 bits count, whatever its size or sign.
inline std::int64_t masked32(py::handle value) {
    return masked_int64(value, 0xFFFFFFFFULL);
}
inline std::vector<std::int64_t> masked32_list(py::handle values) {
    return int64_list(values, &masked32);
}

// A signed value: beyond 64 bits it is out of range all the same.
inline std::int64_t signed_arg(py::handle value) {
    return word_arg(value);
}
inline std::vector<std::int64_t> signed_list(py::handle values) {
    return word_list(values);
}

inline std::vector<double> real_list(py::handle values) {
    return reals(values);
}

inline std::vector<std::string> name_list(py::handle names) {
    std::vector<std::string> out;
    for (py::handle name : py::reinterpret_borrow<py::iterable>(names)) {
        if (!PyUnicode_Check(name.ptr()))
            throw py::type_error(std::string("a contact name must be str, not ") +
                                 Py_TYPE(name.ptr())->tp_name);
        out.emplace_back(text(name));
    }
    return out;
}

inline std::vector<std::pair<std::string, bool>> contact_list(py::handle pairs) {
    std::vector<std::pair<std::string, bool>> out;
    for (py::handle pair : py::reinterpret_borrow<py::iterable>(pairs)) {
        py::sequence seq = py::reinterpret_borrow<py::sequence>(pair);
        if (py::len(seq) != 2) throw py::value_error("a contact to write is a (name, value) pair");
        out.emplace_back(name_list(py::make_tuple(seq[0]))[0], truth(seq[1]));
    }
    return out;
}

}  // namespace mew::py_boundary
