// Shared pieces of the Python boundary: argument conversion with the host's
// own error types, and the error mapping every binding relies on.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace py = pybind11;

namespace mew::py_boundary {

// The UTF-8 bytes of a str, without a copy. Raises the host's encoding
// error for text that has no UTF-8 form (an unpaired surrogate).
std::string_view text(const py::str &s);
inline std::string_view text(py::handle h) { return text(py::reinterpret_borrow<py::str>(h)); }

// A str from UTF-8 bytes the core produced.
py::str to_str(std::string_view s);

// An integer argument as a 64-bit value; anything that is not an integer
// raises TypeError, an integer beyond 64 bits OverflowError.
std::int64_t int64(py::handle value);

// A station number: the field is hexadecimal, so a non-integer fails the
// way the host's "02X" formatting does, with ValueError.
std::int64_t station(py::handle value);

// Every element of a sequence of integers, converted before anything else.
std::vector<std::int64_t> int64_list(py::handle values);

// Installs the translation of the core's errors into Python exceptions.
void register_errors(py::module_ &m);

// Raises struct.error with the message.
[[noreturn]] void raise_struct_error(const char *message);

}  // namespace mew::py_boundary
