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

// Every method a Python subclass may replace and C++ calls: one line each,
// so that a hook's number and its Python name cannot drift apart.
#define MEW_HOOKS(X)                                     \
    X(kStart, "start")                                   \
    X(kStop, "stop")                                     \
    X(kClose, "close")                                   \
    X(kSend, "_send")                                    \
    X(kReceiver, "_receiver")                            \
    X(kQuery, "query")                                   \
    X(kProcessRequest, "_process_request")               \
    X(kProcessInvalidFrame, "process_invalid_frame")     \
    X(kOnGetCoil, "on_get_coil")                         \
    X(kOnSetCoil, "on_set_coil")                         \
    X(kOnGetMultiCoilUint16, "on_get_multi_coil_uint16") \
    X(kOnSetMultiCoilUint16, "on_set_multi_coil_uint16") \
    X(kOnGetMultiUint16, "on_get_multi_uint16")          \
    X(kOnSetMultiUint16, "on_set_multi_uint16")          \
    X(kGetCoil, "get_coil")                              \
    X(kGetCoilUint16, "get_coil_uint16")                 \
    X(kGetMultiCoilUint16, "get_multi_coil_uint16")      \
    X(kGetUint16, "get_uint16")                          \
    X(kGetMultiUint16, "get_multi_uint16")               \
    X(kGetInt16, "get_int16")                            \
    X(kGetUint32, "get_uint32")                          \
    X(kGetInt32, "get_int32")                            \
    X(kGetMultiUint32, "get_multi_uint32")               \
    X(kGetMultiInt32, "get_multi_int32")                 \
    X(kSetCoil, "set_coil")                              \
    X(kSetCoilUint16, "set_coil_uint16")                 \
    X(kSetMultiCoilUint16, "set_multi_coil_uint16")      \
    X(kSetUint16, "set_uint16")                          \
    X(kSetMultiUint16, "set_multi_uint16")               \
    X(kSetUint32, "set_uint32")                          \
    X(kSetInt16, "set_int16")                            \
    X(kSetInt32, "set_int32")                            \
    X(kSetMultiInt16, "set_multi_int16")                 \
    X(kSetMultiUint32, "set_multi_uint32")               \
    X(kSetMultiInt32, "set_multi_int32")                 \
    X(kGetFloat32, "get_float32")                        \
    X(kGetMultiFloat32, "get_multi_float32")             \
    X(kSetFloat32, "set_float32")                        \
    X(kSetMultiFloat32, "set_multi_float32")             \
    X(kGetCoils, "get_coils")                            \
    X(kSetCoils, "set_coils")                            \
    X(kGetStatus, "get_status")                          \
    X(kGetPresetValues, "get_preset_values")             \
    X(kSetPresetValues, "set_preset_values")             \
    X(kGetElapsedValues, "get_elapsed_values")           \
    X(kSetElapsedValues, "set_elapsed_values")

enum Hook : unsigned {
#define MEW_HOOK_ENUM(id, name) id,
    MEW_HOOKS(MEW_HOOK_ENUM)
#undef MEW_HOOK_ENUM
        kHookCount
};
static_assert(kHookCount <= 64, "the override mask has 64 bits");

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
// A thread on threading.Thread named `name` that runs `body` without the GIL.
std::unique_ptr<runtime::WorkerThread> python_thread(const std::string &name, std::function<void()> body);
// The threading.Thread behind a station thread, or None.
py::object thread_object(const runtime::WorkerThread *thread);

// Installs the printer and the error describer of the Python host.
void install_runtime();

// The wait for the threads of stations and services when the interpreter
// exits, which stops their owners when interrupted (Ctrl-C).
void install_exit_wait();
// Counts a thread of a station or a service while its C++ part runs (the
// interpreter lock held at both ends): the exit waits until none is left.
struct RunningThread {
    RunningThread();
    ~RunningThread();
    RunningThread(const RunningThread &) = delete;
    RunningThread &operator=(const RunningThread &) = delete;
};
// Who is stopped first when the wait at exit is interrupted: workers that
// use servers and stations, then servers, then stations.
enum class ExitRank { kWorker = 0, kServer = 1, kStation = 2 };
// `owner` runs threads; `stop_method` (no arguments) ends them. With
// `stop_at_exit`, the exit stops it at once instead of waiting for it.
void own_threads(py::handle owner, ExitRank rank, const char *stop_method, bool stop_at_exit = false);

}  // namespace mew::py_boundary
