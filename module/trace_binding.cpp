// Frame tracing through the host's standard `logging` module.
//
// Records go to the logger "b4k_mew.<station class>" (the library class the
// station is, or derives from: "b4k_mew.MewMaster", "b4k_mew.MewMasterBase",
// ...): every frame at DEBUG as "tx PORT 'FRAME'" or "rx PORT 'FRAME'" (the
// arguments ("tx" or "rx", port, frame) stay in record.args), and the
// errors a station meets at WARNING as "PORT MESSAGE". PORT is the port the
// station's channel was opened on ("/dev/ttyUSB0", "tcp://host:9094"), or
// the channel's class name when it has none.
//
// The core looks at one atomic word before it builds a record (see
// runtime::trace): this file keeps that word equal to what the loggers under
// "b4k_mew" let through. Python's logging tells nobody when a level changes,
// but every change (Logger.setLevel on any logger, logging.disable, and so
// basicConfig, dictConfig, fileConfig and pytest's caplog) ends in the
// manager's _clear_cache(), the one place where logging drops the levels it
// cached: wrapping it there makes a new level count from the very next
// frame, at no cost at all per frame. A level assigned to Logger.level
// directly, bypassing setLevel, is seen at the next such change or at
// b4k_mew._refresh_trace().
#include <string>

#include "base/runtime.h"
#include "link/mew_base.h"
#include "module/bindings.h"
#include "module/common.h"
#include "module/hooks.h"
#include "module/link_trampolines.h"

namespace mew::py_boundary {

namespace {

constexpr const char *kLoggerName = "b4k_mew";

// What the tracer needs from the interpreter, made once at import and never
// freed: objects in static storage would be released after the interpreter
// has gone. Used only with the GIL held.
struct LogState {
    py::object logging;
    py::object logger_class;
    py::object root;            // logging.getLogger("b4k_mew")
    py::object debug, warning;  // the levels, as ints
    py::dict loggers;           // station type -> its logger
    py::object tcp_class;       // b4k_mew.MewTcp
    py::str tx{"tx"}, rx{"rx"};
    py::str frame_format{"%s %s %r"}, warning_format{"%s %s"};
};
LogState *g_state = nullptr;

bool finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

// The logger of a station: named after the first library class in the
// MRO of its type, so that a user's subclass logs as the class it extends.
py::object logger_for(py::handle self) {
    LogState &s = *g_state;
    if (!self) return s.root;
    py::handle type = reinterpret_cast<PyObject *>(Py_TYPE(self.ptr()));
    if (PyObject *known = PyDict_GetItemWithError(s.loggers.ptr(), type.ptr()))
        return py::reinterpret_borrow<py::object>(known);
    if (PyErr_Occurred()) throw py::error_already_set();
    std::string name = kLoggerName;
    for (py::handle cls : type.attr("__mro__")) {
        if (py::str(py::getattr(cls, "__module__", py::str())).cast<std::string>() == kLoggerName) {
            name += "." + py::str(cls.attr("__name__")).cast<std::string>();
            break;
        }
    }
    py::object logger = s.logging.attr("getLogger")(name);
    s.loggers[type] = logger;
    return logger;
}

// Where the station's frames travel: the port its channel was opened on,
// else the channel's class name.
py::str channel_label(py::handle channel) {
    if (!channel || channel.is_none()) return py::str("-");
    py::object serial = py::getattr(channel, "_serial", py::none());
    if (!serial.is_none()) {
        py::object port = py::getattr(serial, "port", py::none());
        if (!port.is_none()) return py::str(port);
    }
    if (g_state->tcp_class && py::isinstance(channel, g_state->tcp_class)) {
        std::string host = py::str(channel.attr("host"));
        if (host.find(':') != std::string::npos) host = "[" + host + "]";
        return py::str("tcp://" + host + ":" + py::str(channel.attr("port")).cast<std::string>());
    }
    for (const char *attr : {"name", "port"}) {
        py::object v = py::getattr(channel, attr, py::none());
        if (py::isinstance<py::str>(v) && py::len(v) > 0) return py::reinterpret_borrow<py::str>(v);
    }
    return py::str(py::handle(reinterpret_cast<PyObject *>(Py_TYPE(channel.ptr()))).attr("__name__"));
}

py::str decoded(std::string_view text) {
    PyObject *o = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "backslashreplace");
    if (!o) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(o);
}

// The tracer the core calls, from any thread, only while a level is on.
void trace_to_logging(runtime::TraceEvent event, const void *source, std::string_view text) {
    if (!Py_IsInitialized() || finalizing() || !g_state) return;
    py::gil_scoped_acquire gil;
    // A record must never turn into an error of the thread that makes it.
    PyObject *type, *value, *trace;
    PyErr_Fetch(&type, &value, &trace);
    try {
        py::handle self;
        py::handle channel;
        if (source) {
            const auto *station = static_cast<const MewBase *>(source);
            if (const auto *hooks = dynamic_cast<const PyHooks *>(station)) self = hooks->self();
            if (const auto *objects = dynamic_cast<const ChannelObject *>(station))
                channel = objects->channel_object;
        }
        py::object logger = logger_for(self);
        py::str label = channel_label(channel);
        if (event == runtime::TraceEvent::kWarning)
            logger.attr("warning")(g_state->warning_format, label, decoded(text));
        else
            logger.attr("debug")(g_state->frame_format,
                                 event == runtime::TraceEvent::kSent ? g_state->tx : g_state->rx, label,
                                 decoded(text));
    } catch (py::error_already_set &e) {
        e.discard_as_unraisable("b4k_mew log record");
    } catch (...) {
    }
    PyErr_Restore(type, value, trace);
}

// The levels the loggers under "b4k_mew" let through now. The caller holds
// the GIL.
unsigned levels_now() {
    LogState &s = *g_state;
    unsigned levels = 0;
    py::list items = py::list(s.logging.attr("Logger").attr("manager").attr("loggerDict").attr("items")());
    const std::string prefix = std::string(kLoggerName) + ".";
    for (py::handle item : items) {
        py::handle name = item.cast<py::tuple>()[0];
        py::handle logger = item.cast<py::tuple>()[1];
        if (!py::isinstance<py::str>(name) || !py::isinstance(logger, s.logger_class)) continue;
        std::string n = name.cast<std::string>();
        if (n != kLoggerName && n.compare(0, prefix.size(), prefix) != 0) continue;
        if (py::bool_(logger.attr("isEnabledFor")(s.debug))) levels |= runtime::kTraceFrames;
        if (py::bool_(logger.attr("isEnabledFor")(s.warning))) levels |= runtime::kTraceWarnings;
    }
    return levels;
}

// Holds logging's module lock (an RLock: the thread that changes a level
// may hold it already) for as long as it lives. The caller holds the GIL.
class LoggingLock {
public:
    explicit LoggingLock(py::object lock) : lock_(std::move(lock)) {
        if (!lock_.is_none()) lock_.attr("acquire")();
    }
    ~LoggingLock() {
        try {
            if (!lock_.is_none()) lock_.attr("release")();
        } catch (py::error_already_set &e) {
            e.discard_as_unraisable("b4k_mew log levels");
        }
    }
    LoggingLock(const LoggingLock &) = delete;
    LoggingLock &operator=(const LoggingLock &) = delete;

private:
    py::object lock_;
};

// Sets the core's trace levels from the loggers. Under logging's own lock,
// so that two level changes at once cannot leave the older one in force.
// Never throws: when the levels cannot be told, everything is traced and
// the loggers sort the records out.
unsigned refresh() {
    unsigned levels = runtime::kTraceFrames | runtime::kTraceWarnings;
    try {
        LoggingLock hold(py::getattr(g_state->logging, "_lock", py::none()));
        try {
            levels = levels_now();
        } catch (py::error_already_set &e) {
            e.discard_as_unraisable("b4k_mew log levels");
        } catch (...) {
        }
        runtime::set_trace_levels(levels);
    } catch (py::error_already_set &e) {
        runtime::set_trace_levels(levels);
        e.discard_as_unraisable("b4k_mew log levels");
    }
    return levels;
}

// Wraps the manager's cache clearing, through which every level change goes.
void hook_level_changes() {
    py::object manager = g_state->logging.attr("Logger").attr("manager");
    py::object original = py::getattr(manager, "_clear_cache", py::none());
    if (original.is_none() || py::hasattr(manager, "_b4k_mew_hooked")) return;
    manager.attr("_clear_cache") = py::cpp_function(
        [original](py::args args, py::kwargs kwargs) {
            py::object result = original(*args, **kwargs);
            refresh();
            return result;
        },
        py::name("_clear_cache"));
    manager.attr("_b4k_mew_hooked") = py::bool_(true);
}

}  // namespace

void bind_trace(py::module_ &m) {
    py::module_ logging = py::module_::import("logging");
    auto *state = new LogState();
    state->logging = logging;
    state->logger_class = logging.attr("Logger");
    state->root = logging.attr("getLogger")(kLoggerName);
    state->debug = logging.attr("DEBUG");
    state->warning = logging.attr("WARNING");
    state->tcp_class = py::getattr(m, "MewTcp", py::none());
    if (state->tcp_class.is_none()) state->tcp_class = py::object();
    g_state = state;

    // As a library should: records go nowhere until the program says where,
    // and logging's last resort does not print them on stderr meanwhile.
    bool has_null = false;
    for (py::handle h : state->root.attr("handlers"))
        if (py::isinstance(h, logging.attr("NullHandler"))) has_null = true;
    if (!has_null) state->root.attr("addHandler")(logging.attr("NullHandler")());

    hook_level_changes();
    runtime::set_tracer(&trace_to_logging);
    refresh();

    m.def(
        "_refresh_trace", [] { return refresh(); },
        "Reads the levels of the loggers under \"b4k_mew\" again (each level change through setLevel does "
        "so by itself); returns the trace levels: 1 frames (DEBUG), 2 warnings (WARNING).");
    m.def(
        "_trace_levels", [] { return runtime::trace_levels(); },
        "The trace levels in force: 1 frames (DEBUG), 2 warnings (WARNING).");
}

}  // namespace mew::py_boundary
