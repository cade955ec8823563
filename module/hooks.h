// How C++ calls reach a Python subclass. Each station object created from
// Python knows its Python self and which overridable methods its Python class
// replaces; that is worked out once, when __init__ runs, so a call that is
// not overridden never touches the interpreter.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "base/runtime.h"
#include "module/common.h"

namespace mew::py_boundary {

enum Hook : unsigned {
    kStart,
    kStop,
    kClose,
    kSend,
    kQuery,
    kProcessRequest,
    kProcessInvalidFrame,
    kOnGetCoil,
    kOnSetCoil,
    kOnGetMultiCoilUint16,
    kOnSetMultiCoilUint16,
    kOnGetMultiUint16,
    kOnSetMultiUint16,
    kGetCoil,
    kGetCoilUint16,
    kGetMultiCoilUint16,
    kGetUint16,
    kGetMultiUint16,
    kGetInt16,
    kGetUint32,
    kGetInt32,
    kGetMultiUint32,
    kGetMultiInt32,
    kSetCoil,
    kSetCoilUint16,
    kSetMultiCoilUint16,
    kSetUint16,
    kSetMultiUint16,
    kSetUint32,
    kSetInt16,
    kSetInt32,
    kSetMultiInt16,
    kSetMultiUint32,
    kSetMultiInt32,
    kHookCount
};

const char *hook_name(Hook h);

class PyHooks {
public:
    virtual ~PyHooks() = default;
    // Called from __init__ once the Python object exists. `cls` is the bound
    // class whose own methods count as not overridden.
    void attach(py::handle self, py::handle cls);
    bool overridden(Hook h) const { return (mask_ >> h) & 1u; }
    py::handle self() const { return self_; }
    // Calls the Python override; the caller holds the GIL.
    template <class... Args>
    py::object call(Hook h, Args &&...args) const {
        return self_.attr(hook_name(h))(std::forward<Args>(args)...);
    }

private:
    py::handle self_;  // borrowed: the Python object owns this C++ object
    std::uint64_t mask_ = 0;
};

// Wraps cls.__init__: `before` may refuse the call (abstract classes);
// once the C++ object exists its hooks learn their Python self, and `after`
// runs with the new object.
void wrap_init(py::handle cls, std::function<void(py::handle self)> before,
               std::function<void(py::handle self)> attach, std::function<void(py::handle self)> after);

template <class Cpp>
void hook_init(py::handle cls, std::function<void(py::handle self)> after = {},
               std::function<void(py::handle self)> before = {}) {
    py::handle bound = cls;
    wrap_init(
        cls, std::move(before),
        [bound](py::handle self) {
            if (auto *hooks = dynamic_cast<PyHooks *>(&py::cast<Cpp &>(self))) hooks->attach(self, bound);
        },
        std::move(after));
}

// "Can't instantiate abstract class ..." unless type(self) defines every
// named method itself instead of inheriting the one of `cls`.
void check_abstract(py::handle self, py::handle cls, std::initializer_list<const char *> names);

// A station thread on threading.Thread, whose target is the station's own
// bound method: the thread keeps the station alive while it runs and the
// interpreter waits for it at exit, as for any thread that is not a daemon.
std::unique_ptr<runtime::WorkerThread> python_thread(py::handle self, const char *method);
// The threading.Thread behind a station thread, or None.
py::object thread_object(const runtime::WorkerThread *thread);

// Installs the printer and the error describer of the Python host.
void install_runtime();

}  // namespace mew::py_boundary
