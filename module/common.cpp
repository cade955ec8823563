#include "module/common.h"

#include "codec/errors.h"

namespace mew::py_boundary {

std::string_view text(const py::str &s) {
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(s.ptr(), &size);
    if (!data) throw py::error_already_set();
    return {data, static_cast<std::size_t>(size)};
}

py::str to_str(std::string_view s) {
    PyObject *o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict");
    if (!o) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(o);
}

std::int64_t int64(py::handle value) {
    if (!PyLong_Check(value.ptr())) {
        if (!PyIndex_Check(value.ptr()))
            throw py::type_error(std::string("an integer is required, not ") + Py_TYPE(value.ptr())->tp_name);
        py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
        if (!index) throw py::error_already_set();
        return int64(index);
    }
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow) {
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C long");
        throw py::error_already_set();
    }
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    return v;
}

std::int64_t station(py::handle value) {
    if (!PyLong_Check(value.ptr()))
        throw py::value_error(std::string("Unknown format code 'X' for object of type '") +
                              Py_TYPE(value.ptr())->tp_name + "'");
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow) {
        PyErr_SetString(PyExc_OverflowError, "station number too large");
        throw py::error_already_set();
    }
    return v;
}

std::vector<std::int64_t> int64_list(py::handle values) {
    py::object seq = py::reinterpret_steal<py::object>(PySequence_Fast(values.ptr(), "values must be a sequence"));
    if (!seq) throw py::error_already_set();
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
    PyObject **items = PySequence_Fast_ITEMS(seq.ptr());
    std::vector<std::int64_t> out;
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) out.push_back(int64(items[i]));
    return out;
}

void raise_struct_error(const char *message) {
    static PyObject *struct_error = nullptr;
    if (!struct_error) struct_error = py::object(py::module_::import("struct").attr("error")).release().ptr();
    PyErr_SetString(struct_error, message);
    throw py::error_already_set();
}

void register_errors(py::module_ &) {
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const NumberFormatError &e) {
            py::str literal = py::reinterpret_steal<py::str>(
                PyUnicode_DecodeUTF8(e.text.data(), static_cast<Py_ssize_t>(e.text.size()), "replace"));
            PyErr_Format(PyExc_ValueError, "invalid literal for int() with base %d: %R", e.base, literal.ptr());
        } catch (const AssertionFailure &) {
            PyErr_SetNone(PyExc_AssertionError);
        } catch (const IOError &e) {
            PyErr_SetString(PyExc_OSError, e.what());
        } catch (const IndexError &e) {
            PyErr_SetString(PyExc_IndexError, e.what());
        } catch (const ValueError &e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        } catch (const TypeError &e) {
            PyErr_SetString(PyExc_TypeError, e.what());
        } catch (const OverflowError &e) {
            PyErr_SetString(PyExc_OverflowError, e.what());
        } catch (const StructError &e) {
            try {
                raise_struct_error(e.what());
            } catch (py::error_already_set &err) {
                err.restore();
            }
        }
    });
}

}  // namespace mew::py_boundary
