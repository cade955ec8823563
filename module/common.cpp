#include "module/common.h"

#include <exception>
#include <new>

#include "base/errors.h"
#include "codec/plc_commands.h"

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

py::str str_result(const py::object &result, const char *method) {
    if (!PyUnicode_Check(result.ptr()))
        throw py::type_error(std::string(method) + "() must return str, not " +
                             Py_TYPE(result.ptr())->tp_name);
    return py::reinterpret_borrow<py::str>(result);
}

double seconds(py::handle value) {
    double t = PyFloat_AsDouble(value.ptr());
    if (t == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return t;
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

std::int64_t clamped_int64(py::handle value) {
    if (PyLong_Check(value.ptr())) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (overflow) return overflow > 0 ? INT64_MAX : INT64_MIN;
        return v;
    }
    return int64(value);
}

std::int64_t station(py::handle value) {
    if (value.is_none()) throw py::type_error("unsupported format string passed to NoneType.__format__");
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

std::vector<std::int64_t> int64_list(py::handle values, std::int64_t (*convert)(py::handle)) {
    py::object seq =
        py::reinterpret_steal<py::object>(PySequence_Fast(values.ptr(), "values must be a sequence"));
    if (!seq) throw py::error_already_set();
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
    PyObject **items = PySequence_Fast_ITEMS(seq.ptr());
    std::vector<std::int64_t> out;
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) out.push_back(convert(items[i]));
    return out;
}

std::int64_t masked_int64(py::handle value, std::uint64_t mask) {
    if (!PyLong_Check(value.ptr()))
        return static_cast<std::int64_t>(static_cast<std::uint64_t>(int64(value)) & mask);
    unsigned long long v = PyLong_AsUnsignedLongLongMask(value.ptr());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw py::error_already_set();
    return static_cast<std::int64_t>(v & mask);
}

void raise_struct_error(const char *message) {
    static PyObject *struct_error = nullptr;
    if (!struct_error) struct_error = py::object(py::module_::import("struct").attr("error")).release().ptr();
    PyErr_SetString(struct_error, message);
    throw py::error_already_set();
}

namespace {

PyObject *g_device_error = nullptr;  // b4k_mew.DeviceError, made once at import

// A DeviceError with its code, for callers that handle a device's refusal
// apart from a dead line without reading the message.
void set_device_error(const char *message, const std::string &code) {
    PyObject *error = PyObject_CallFunction(g_device_error, "s", message);
    if (!error) return;
    PyObject *value = PyUnicode_DecodeUTF8(code.data(), static_cast<Py_ssize_t>(code.size()), "replace");
    std::string_view meaning = frames::device_error_meaning(code);
    PyObject *words = PyUnicode_FromStringAndSize(meaning.data(), static_cast<Py_ssize_t>(meaning.size()));
    if (value && words && PyObject_SetAttrString(error, "code", value) == 0 &&
        PyObject_SetAttrString(error, "meaning", words) == 0)
        PyErr_SetObject(g_device_error, error);
    Py_XDECREF(words);
    Py_XDECREF(value);
    Py_DECREF(error);
}

// A time-out as Python's own TimeoutError (an OSError, so that code catching
// OSError or IOError still catches it), with the station it waited for.
void set_timeout_error(const ResponseTimeout &e) {
    PyObject *error = PyObject_CallFunction(PyExc_TimeoutError, "s", e.what());
    if (!error) return;
    PyObject *station = Py_None;
    if (e.station)
        station = PyLong_FromLongLong(*e.station);
    else
        Py_INCREF(station);
    if (station && PyObject_SetAttrString(error, "station", station) == 0)
        PyErr_SetObject(PyExc_TimeoutError, error);
    Py_XDECREF(station);
    Py_DECREF(error);
}

// Sets the error for the core's own exceptions; anything else propagates, so
// that pybind11 can go on with its standard translation.
void translate_core_error(std::exception_ptr p) {
    try {
        if (p) std::rethrow_exception(p);
    } catch (const NumberFormatError &e) {
        py::str literal = py::reinterpret_steal<py::str>(
            PyUnicode_DecodeUTF8(e.text.data(), static_cast<Py_ssize_t>(e.text.size()), "replace"));
        PyErr_Format(PyExc_ValueError, "invalid literal for int() with base %d: %.200R", e.base,
                     literal.ptr());
    } catch (const AssertionFailure &) {
        PyErr_SetNone(PyExc_AssertionError);
    } catch (const DeviceError &e) {
        set_device_error(e.what(), e.code);
    } catch (const ResponseTimeout &e) {
        set_timeout_error(e);
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
}

}  // namespace

void register_errors(py::module_ &m) {
    g_device_error = PyErr_NewExceptionWithDoc(
        "b4k_mew.DeviceError",
        "An error response of a device (OSError): its message is the protocol's, \"MEW communication error "
        "code(hex): 42\", `code` holds the two characters of the error code as the device sent them and "
        "`meaning` says what controllers mean by it (\"command not supported\").",
        PyExc_OSError, nullptr);
    if (!g_device_error) throw py::error_already_set();
    m.attr("DeviceError") = py::handle(g_device_error);
    m.def(
        "device_error_meaning",
        [](const py::str &code) { return std::string(frames::device_error_meaning(text(code))); },
        py::arg("code"),
        "What a device error code (\"42\") means; \"unknown error code\" for one not listed.");
    py::register_exception_translator(&translate_core_error);
}

void set_python_error(std::exception_ptr p) {
    try {
        translate_core_error(p);
    } catch (py::error_already_set &e) {
        e.restore();
    } catch (const py::builtin_exception &e) {
        e.set_error();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}

namespace fast {

namespace {

// Binds positional and keyword arguments to the parameters with the host's
// rules and messages; false with the error set when they do not fit.
bool bind_arguments(const Function &f, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                    PyObject **slots) {
    const char *name = f.name.c_str();
    std::size_t n = f.params.size();
    if (static_cast<std::size_t>(nargs) > n) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zu argument%s (%zd given)", name, n,
                     n == 1 ? "" : "s", nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        std::size_t i = 0;
        while (i < n && PyUnicode_CompareWithASCIIString(key, f.params[i].name.c_str()) != 0) ++i;
        if (i == n) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name, key);
            return false;
        }
        if (slots[i]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", name,
                         f.params[i].name.c_str());
            return false;
        }
        slots[i] = args[nargs + k];
    }
    for (std::size_t i = 0; i < n; ++i) {
        const Param &p = f.params[i];
        if (!slots[i]) {
            if (!p.default_value) {
                PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", name,
                             p.name.c_str(), i + 1);
                return false;
            }
            slots[i] = p.default_value.ptr();
        }
        if (p.is_str && !PyUnicode_Check(slots[i])) {
            PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be str, not %.200s", name, p.name.c_str(),
                         Py_TYPE(slots[i])->tp_name);
            return false;
        }
    }
    return true;
}

PyObject *dispatch(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    const auto &f = *static_cast<const Function *>(PyCapsule_GetPointer(self, nullptr));
    PyObject *slots[kMaxParams] = {};
    if (!bind_arguments(f, args, nargs, kwnames, slots)) return nullptr;
    try {
        return f.invoke(f, slots);
    } catch (...) {
        set_python_error(std::current_exception());
        return nullptr;
    }
}

}  // namespace

void install(py::handle cls, std::unique_ptr<Function> f) {
    if (f->named != f->params.size()) py::pybind11_fail("fast::def_static: every parameter needs a py::arg");
    // The "name(params)\n--\n\n" head gives the method a signature that
    // inspect and help() can read.
    std::string signature = f->name + "(";
    for (std::size_t i = 0; i < f->params.size(); ++i) {
        const Param &p = f->params[i];
        if (i) signature += ", ";
        signature += p.name;
        if (p.default_value) signature += "=" + std::string(py::repr(p.default_value));
    }
    f->doc = signature + ")\n--\n\n" + f->doc;
    f->def.ml_name = f->name.c_str();
    f->def.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&dispatch));
    f->def.ml_flags = METH_FASTCALL | METH_KEYWORDS;
    f->def.ml_doc = f->doc.c_str();
    // The capsule owns the record; the function keeps the capsule alive.
    Function *record = f.get();
    py::capsule owner(record, [](void *p) { delete static_cast<Function *>(p); });
    f.release();
    py::object module_name = cls.attr("__module__");
    PyObject *func = PyCFunction_NewEx(&record->def, owner.ptr(), module_name.ptr());
    if (!func) throw py::error_already_set();
    cls.attr(record->def.ml_name) = py::staticmethod(py::reinterpret_steal<py::object>(func));
}

}  // namespace fast

}  // namespace mew::py_boundary
