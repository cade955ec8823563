// Shared pieces of the Python boundary: argument conversion with the host's
// own error types, and the error mapping every binding relies on.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace mew::py_boundary {

// The UTF-8 bytes of a str, without a copy. Raises the host's encoding
// error for text that has no UTF-8 form (an unpaired surrogate).
std::string_view text(const py::str &s);
inline std::string_view text(py::handle h) {
    return text(py::reinterpret_borrow<py::str>(h));
}

// A str from UTF-8 bytes the core produced.
py::str to_str(std::string_view s);

// What a Python method returned, as the str it must be: TypeError naming
// the method otherwise, rather than the text of str(None).
py::str str_result(const py::object &result, const char *method);

// An integer argument as a 64-bit value; anything that is not an integer
// raises TypeError, an integer beyond 64 bits OverflowError.
std::int64_t int64(py::handle value);

// An integer that may lie beyond 64 bits, clamped to the 64-bit range: for
// arguments whose range check must still see that it is out of range.
std::int64_t clamped_int64(py::handle value);

// A station number: the field is hexadecimal, so a non-integer fails the
// way the host's "02X" formatting does, with ValueError.
std::int64_t station(py::handle value);

// Every element of a sequence of integers, converted before anything else.
std::vector<std::int64_t> int64_list(py::handle values, std::int64_t (*convert)(py::handle) = &int64);

// The low bits of an integer of any size or sign, as `value & mask` would
// give them.
std::int64_t masked_int64(py::handle value, std::uint64_t mask);

// A number of seconds: a real number, or TypeError as float() words it.
double seconds(py::handle value);

// Installs the translation of the core's errors into Python exceptions.
void register_errors(py::module_ &m);

// Raises struct.error with the message.
[[noreturn]] void raise_struct_error(const char *message);

// Sets the Python error for an exception caught at the boundary, the way the
// pybind11 dispatcher would with the translation above. Only that one
// translator applies, so core errors must be mapped there, not elsewhere.
void set_python_error(std::exception_ptr p);

// Static methods called through the host's fast calling convention. A call
// through pybind11's generic dispatcher costs several times what a codec
// operation does, which would make the codec barely faster than the same
// code in Python. The body is a captureless lambda whose parameters are
// py::handle, py::object or py::str (const references allowed) and does its
// own conversions with the helpers above, so errors stay those of the host.
// Arguments are named with py::arg and given defaults with py::arg(...) = v,
// as for def_static; they may be passed by position or keyword.
namespace fast {

// Bodies of every signature are stored as this type: a function pointer cast
// to another function pointer type and back is the same pointer.
using AnyFn = void (*)();
struct Function;
using Invoker = PyObject *(*)(const Function &f, PyObject *const *args);

constexpr std::size_t kMaxParams = 8;

struct Param {
    std::string name;
    py::object default_value;  // null when the argument is required
    bool is_str = false;
};

struct Function {
    std::string name;
    std::string doc;
    std::vector<Param> params;
    std::size_t named = 0;
    AnyFn body = nullptr;
    Invoker invoke = nullptr;
    PyMethodDef def{};
};

template <typename T>
struct Arg;
template <>
struct Arg<py::handle> {
    static constexpr bool is_str = false;
    static py::handle get(PyObject *o) { return o; }
};
template <>
struct Arg<py::object> {
    static constexpr bool is_str = false;
    static py::object get(PyObject *o) { return py::reinterpret_borrow<py::object>(o); }
};
// The dispatcher has checked the type already.
template <>
struct Arg<py::str> {
    static constexpr bool is_str = true;
    static py::str get(PyObject *o) { return py::reinterpret_borrow<py::str>(o); }
};

template <typename R, typename... P, std::size_t... I>
PyObject *invoke(const Function &f, PyObject *const *args, std::index_sequence<I...>) {
    auto body = reinterpret_cast<R (*)(P...)>(f.body);
    if constexpr (std::is_base_of_v<py::handle, R>)
        return body(Arg<std::decay_t<P>>::get(args[I])...).release().ptr();
    else
        return py::cast(body(Arg<std::decay_t<P>>::get(args[I])...)).release().ptr();
}

template <typename R, typename... P>
PyObject *invoke(const Function &f, PyObject *const *args) {
    return invoke<R, P...>(f, args, std::index_sequence_for<P...>{});
}

inline void annotate(Function &f, const py::arg &a) {
    f.params.at(f.named++).name = a.name;
}
inline void annotate(Function &f, const py::arg_v &a) {
    Param &p = f.params.at(f.named++);
    p.name = a.name;
    p.default_value = a.value;
}
inline void annotate(Function &f, const char *doc) {
    f.doc = doc;
}

// Completes the docstring and adds the static method to the class.
void install(py::handle cls, std::unique_ptr<Function> f);

template <typename R, typename... P, typename... Extra>
void def_static(py::handle cls, const char *name, R (*body)(P...), const Extra &...extra) {
    static_assert(sizeof...(P) <= kMaxParams, "too many parameters for the fast dispatcher");
    auto f = std::make_unique<Function>();
    f->name = name;
    f->params = {Param{std::string(), py::object(), Arg<std::decay_t<P>>::is_str}...};
    (annotate(*f, extra), ...);
    f->body = reinterpret_cast<AnyFn>(body);
    f->invoke = &invoke<R, P...>;
    install(cls, std::move(f));
}

}  // namespace fast

template <typename Fn, typename... Extra>
void def_fast_static(py::handle cls, const char *name, Fn &&body, const Extra &...extra) {
    fast::def_static(cls, name, +body, extra...);
}

}  // namespace mew::py_boundary
