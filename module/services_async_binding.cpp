// The engine of AsyncMewMaster (b4k_mew._AsyncCore): a MewMaster's
// operations queued for a worker of their own (services/queued_master.h),
// each answered to an asyncio future. b4k_mew_tools.aio makes the
// coroutines on it, and b4k_mew.AsyncMewMaster names that class.
//
// A call converts its arguments with the GIL and is checked before it is
// queued; the worker runs it without the GIL. Finished calls wake their
// event loop through a pipe the loop watches (loop.add_reader), one sink per
// loop: the worker never takes the GIL to hand a result over, and a batch of
// results costs one wake-up. The loop's callback, drain, sets the futures.
#include <algorithm>
#include <memory>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "base/errors.h"
#include "module/bindings.h"
#include "module/hooks.h"
#include "module/master_args.h"
#include "module/station_trampolines.h"
#include "services/queued_master.h"

namespace mew::py_boundary {

namespace {

using Value = QueuedMaster::Value;
using Words = MewMaster::Words;

// --- Results -----------------------------------------------------------------------

py::object to_python(const Value &value) {
    return std::visit(
        [](const auto &v) -> py::object {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::monostate>)
                return py::none();
            else if constexpr (std::is_same_v<T, bool>)
                return py::bool_(v);
            else if constexpr (std::is_same_v<T, std::int64_t>)
                return py::int_(v);
            else if constexpr (std::is_same_v<T, double>)
                return py::float_(v);
            else if constexpr (std::is_same_v<T, std::string>)
                return to_str(v);
            else if constexpr (std::is_same_v<T, frames::PlcStatus>)
                return to_status(v);
            else
                return to_list(v);
        },
        value);
}

// The names of the future's methods, made once: a result is handed over
// without building them again.
struct FutureNames {
    py::str done{"done"}, set_result{"set_result"}, set_exception{"set_exception"},
        create_future{"create_future"};
};
const FutureNames &future_names() {
    static const FutureNames *names = new FutureNames();  // lives as long as the interpreter's strings
    return *names;
}

py::object call_method(py::handle object, const py::str &name, py::handle argument = {}) {
    PyObject *result = argument
                           ? PyObject_CallMethodObjArgs(object.ptr(), name.ptr(), argument.ptr(), nullptr)
                           : PyObject_CallMethodObjArgs(object.ptr(), name.ptr(), nullptr);
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

// A call without arguments, without building an argument tuple.
py::object call_plain(const py::object &callable) {
    PyObject *result = PyObject_CallObject(callable.ptr(), nullptr);
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

// Sets the future from the call's outcome, unless it is done (cancelled).
void resolve(py::handle future, const QueuedMaster::Call &call) {
    const FutureNames &names = future_names();
    if (truth(call_method(future, names.done))) return;
    if (!call.error()) {
        try {
            call_method(future, names.set_result, to_python(call.value()));
            return;
        } catch (...) {
            set_python_error(std::current_exception());
        }
    } else {
        set_python_error(call.error());
    }
    py::error_already_set raised;
    call_method(future, names.set_exception, raised.value());
}

// What names a read and its arguments for the check's memory.
std::string read_key(const char *method, std::int64_t station, const std::string &name,
                     std::int64_t count = 0) {
    std::string key(method);
    key += ' ';
    key += std::to_string(station);
    key += ' ';
    key += name;
    key += ' ';
    key += std::to_string(count);
    return key;
}

// --- One event loop's calls ---------------------------------------------------------

// The futures of the calls made from one loop, and the sink through which
// those calls complete. Owned by Python objects and the core only, so it
// always dies with the GIL held.
class LoopSink {
public:
    explicit LoopSink(py::object loop)
        : loop_(std::move(loop)),
          create_future_(loop_.attr(future_names().create_future)),
          sink_(std::make_shared<CompletionSink>()) {}

    const py::object &loop() const { return loop_; }
    py::object create_future() const { return call_plain(create_future_); }
    const std::shared_ptr<CompletionSink> &sink() const { return sink_; }

    // `self` is this sink's Python object: the loop calls its drain.
    void attach(py::handle self) {
        loop_.attr("add_reader")(sink_->fileno(), self.attr("drain"));
        attached_ = true;
    }

    void expect(std::uint64_t ticket, py::object future) { futures_.emplace(ticket, std::move(future)); }

    // Once every call has completed, the loop stops watching.
    void close_when_drained() { closing_ = true; }

    // On the loop's thread, when the descriptor is readable.
    void drain() {
        for (auto &command : sink_->take()) {
            auto it = futures_.find(command->ticket());
            if (it == futures_.end()) continue;
            py::object future = std::move(it->second);
            futures_.erase(it);
            // Cancelled while queued: its future was cancelled first.
            if (command->cancelled()) continue;
            try {
                resolve(future, static_cast<const QueuedMaster::Call &>(*command));
            } catch (py::error_already_set &e) {
                e.discard_as_unraisable(future);
            }
        }
        if (closing_ && futures_.empty()) detach();
    }

    std::size_t waiting() const { return futures_.size(); }

private:
    void detach() {
        if (!attached_) return;
        attached_ = false;
        try {
            loop_.attr("remove_reader")(sink_->fileno());
        } catch (py::error_already_set &e) {
            e.discard_as_unraisable(loop_);
        }
    }

    py::object loop_;
    py::object create_future_;  // loop.create_future, bound once
    std::shared_ptr<CompletionSink> sink_;
    std::unordered_map<std::uint64_t, py::object> futures_;  // only touched with the GIL
    bool attached_ = false;
    bool closing_ = false;
};

// --- The core ----------------------------------------------------------------------------

MewMaster &master_of(py::handle object) {
    if (!py::isinstance<MewMaster>(object))
        throw py::type_error(std::string("a MewMaster is required, not ") + Py_TYPE(object.ptr())->tp_name);
    return py::cast<MewMaster &>(object);
}

std::unique_ptr<runtime::WorkerThread> worker_thread(std::function<void()> body) {
    return python_thread("AsyncMewMaster._worker", std::move(body));
}

class AsyncCore {
public:
    explicit AsyncCore(py::object master)
        : master_object_(std::move(master)),
          get_running_loop_(py::module_::import("asyncio").attr("get_running_loop")),
          running_loop_or_none_(py::module_::import("asyncio").attr("_get_running_loop")),
          queue_(master_of(master_object_), "AsyncMewMaster", &worker_thread) {}

    ~AsyncCore() {
        try {
            close();
        } catch (py::error_already_set &e) {
            e.discard_as_unraisable("AsyncMewMaster.close");
        } catch (...) {
        }
    }

    AsyncCore(const AsyncCore &) = delete;
    AsyncCore &operator=(const AsyncCore &) = delete;

    // Queues a checked operation: (future, ticket). `key`: see QueuedMaster::submit.
    py::tuple submit(QueuedMaster::Operation operation, std::string_view key = {}) {
        if (queue_.closed()) throw IOError("AsyncMewMaster: closed");
        py::object loop = call_plain(get_running_loop_);
        std::shared_ptr<LoopSink> sink = sink_for(loop);
        py::object future = sink->create_future();
        std::shared_ptr<QueuedMaster::Call> call = queue_.submit(std::move(operation), sink->sink(), key);
        // The call may have completed already; its loop, this thread, only
        // looks once this returns.
        sink->expect(call->ticket(), future);
        return py::make_tuple(std::move(future), call->ticket());
    }

    bool cancel(std::uint64_t ticket) { return queue_.cancel(ticket); }

    void close() {
        // Once is enough; a second close may come from the destructor, as
        // late as the interpreter's exit, when nothing can be imported.
        if (closing_) return;
        closing_ = true;
        std::exception_ptr failed;  // the master's close(); the futures come first
        {
            py::gil_scoped_release nogil;
            try {
                queue_.close();
            } catch (...) {
                failed = std::current_exception();
            }
        }
        // Every call has completed: the sink of the loop running here hands
        // the results over now, the others when their loops next look.
        py::object running = running_loop_or_none_();
        std::vector<std::shared_ptr<LoopSink>> sinks;
        sinks.swap(sinks_);
        last_.reset();
        for (auto &sink : sinks) {
            sink->close_when_drained();
            if (sink->loop().is(running))
                sink->drain();
            else
                sink->sink()->wake();
        }
        if (failed) std::rethrow_exception(failed);
    }

    bool closed() const { return queue_.closed(); }
    std::size_t pending() const { return queue_.pending(); }
    std::uint64_t completed() const { return queue_.completed(); }
    const py::object &master() const { return master_object_; }

private:
    std::shared_ptr<LoopSink> sink_for(const py::object &loop) {
        if (last_ && last_->loop().is(loop)) return last_;
        last_.reset();
        // A closed loop never looks at its sink again.
        sinks_.erase(std::remove_if(sinks_.begin(), sinks_.end(),
                                    [](const std::shared_ptr<LoopSink> &s) {
                                        return truth(s->loop().attr("is_closed")());
                                    }),
                     sinks_.end());
        for (auto &sink : sinks_)
            if (sink->loop().is(loop)) return last_ = sink;
        auto fresh = std::make_shared<LoopSink>(loop);
        fresh->attach(py::cast(fresh));
        sinks_.push_back(fresh);
        return last_ = fresh;
    }

    py::object master_object_;
    py::object get_running_loop_;      // asyncio.get_running_loop
    py::object running_loop_or_none_;  // asyncio._get_running_loop
    std::vector<std::shared_ptr<LoopSink>> sinks_;
    std::shared_ptr<LoopSink> last_;
    bool closing_ = false;  // only touched with the GIL
    QueuedMaster queue_;    // last: it stops before the rest goes
};

// b4k_mew.AsyncMewMaster is b4k_mew_tools.aio.AsyncMewMaster, imported when
// first asked for: that module imports this one.
void name_async_master(py::module_ &m) {
    py::object previous = py::getattr(m, "__getattr__", py::none());
    m.attr("__getattr__") = py::cpp_function(
        [previous](const py::str &name) -> py::object {
            if (std::string_view(text(name)) == "AsyncMewMaster")
                return py::module_::import("b4k_mew_tools.aio").attr("AsyncMewMaster");
            if (!previous.is_none()) return previous(name);
            throw py::attribute_error("module 'b4k_mew' has no attribute '" + std::string(text(name)) + "'");
        },
        py::name("__getattr__"));
}

}  // namespace

void bind_async(py::module_ &m) {
    py::class_<LoopSink, std::shared_ptr<LoopSink>>(
        m, "_LoopSink", "The calls an AsyncMewMaster queued from one event loop, and their futures.")
        .def("drain", &LoopSink::drain, "Sets the futures of the calls that completed (the loop's reader).")
        .def("fileno", [](const LoopSink &s) { return s.sink()->fileno(); })
        .def_property_readonly("waiting", &LoopSink::waiting, "Futures not yet set.");

    py::class_<AsyncCore> cls(m, "_AsyncCore",
                              "The engine of AsyncMewMaster: a MewMaster's operations queued for a worker "
                              "thread of their own. Each operation returns (future, ticket).");
    cls.def(py::init<py::object>(), py::arg("master"));
    cls.def("cancel", &AsyncCore::cancel, py::arg("ticket"),
            "Takes a call that has not started out of the queue (True): it is never sent.");
    cls.def("close", &AsyncCore::close,
            "Fails the queued calls with OSError, closes the master and waits for the worker.");
    cls.def_property_readonly("closed", &AsyncCore::closed);
    cls.def_property_readonly("pending", &AsyncCore::pending, "Calls waiting behind the one on the line.");
    cls.def_property_readonly("completed", &AsyncCore::completed, "Calls the worker has run.");
    cls.def_property_readonly("master", &AsyncCore::master, "The MewMaster the calls run on.");

#define MEW_ASYNC_READ(method)                                                                \
    cls.def(                                                                                  \
        #method,                                                                              \
        [](AsyncCore &c, py::handle station_, const py::str &name_) {                         \
            std::int64_t st = station(station_);                                              \
            std::string name(text(name_));                                                    \
            return c.submit([st, name](MewMaster &m) -> Value { return m.method(st, name); }, \
                            read_key(#method, st, name));                                     \
        },                                                                                    \
        py::arg("station"), py::arg("name"))
#define MEW_ASYNC_READ_N(method)                                                                            \
    cls.def(                                                                                                \
        #method,                                                                                            \
        [](AsyncCore &c, py::handle station_, const py::str &name_, py::handle count_) {                    \
            std::int64_t st = station(station_);                                                            \
            std::string name(text(name_));                                                                  \
            std::int64_t count = int64(count_);                                                             \
            return c.submit([st, name, count](MewMaster &m) -> Value { return m.method(st, name, count); }, \
                            read_key(#method, st, name, count));                                            \
        },                                                                                                  \
        py::arg("station"), py::arg("name"), py::arg("count"))
#define MEW_ASYNC_WRITE(method, argname, convert)                                        \
    cls.def(                                                                             \
        #method,                                                                         \
        [](AsyncCore &c, py::handle station_, const py::str &name_, py::handle value_) { \
            std::int64_t st = station(station_);                                         \
            std::string name(text(name_));                                               \
            auto value = convert(value_);                                                \
            return c.submit([st, name, value](MewMaster &m) -> Value {                   \
                m.method(st, name, value);                                               \
                return {};                                                               \
            });                                                                          \
        },                                                                               \
        py::arg("station"), py::arg("name"), py::arg(argname))

    MEW_ASYNC_READ(get_coil);
    MEW_ASYNC_READ(get_coil_uint16);
    MEW_ASYNC_READ_N(get_multi_coil_uint16);
    MEW_ASYNC_READ(get_uint16);
    MEW_ASYNC_READ_N(get_multi_uint16);
    MEW_ASYNC_READ(get_int16);
    MEW_ASYNC_READ(get_uint32);
    MEW_ASYNC_READ(get_int32);
    MEW_ASYNC_READ_N(get_multi_uint32);
    MEW_ASYNC_READ_N(get_multi_int32);
    MEW_ASYNC_WRITE(set_coil, "value", truth);
    MEW_ASYNC_WRITE(set_coil_uint16, "value", word_arg);
    MEW_ASYNC_WRITE(set_multi_coil_uint16, "values", word_list);
    MEW_ASYNC_WRITE(set_uint16, "value", word_arg);
    MEW_ASYNC_WRITE(set_multi_uint16, "values", word_list);
    MEW_ASYNC_WRITE(set_uint32, "value", masked32);
    MEW_ASYNC_WRITE(set_int16, "value", word_arg);
    MEW_ASYNC_WRITE(set_int32, "value", word_arg);
    MEW_ASYNC_WRITE(set_multi_int16, "values", word_list);
    MEW_ASYNC_WRITE(set_multi_uint32, "values", masked32_list);
    MEW_ASYNC_WRITE(set_multi_int32, "values", word_list);
    MEW_ASYNC_READ(get_float32);
    MEW_ASYNC_READ_N(get_multi_float32);
    MEW_ASYNC_WRITE(set_float32, "value", real);
    MEW_ASYNC_WRITE(set_multi_float32, "values", reals);
#undef MEW_ASYNC_READ
#undef MEW_ASYNC_READ_N
#undef MEW_ASYNC_WRITE

    cls.def(
        "get_coils",
        [](AsyncCore &c, py::handle station_, py::handle names_) {
            std::int64_t st = station(station_);
            std::vector<std::string> names = name_list(names_);
            return c.submit([st, names](MewMaster &m) -> Value { return m.get_coils(st, names); });
        },
        py::arg("station"), py::arg("names"));
    cls.def(
        "set_coils",
        [](AsyncCore &c, py::handle station_, py::handle pairs_) {
            std::int64_t st = station(station_);
            auto contacts = contact_list(pairs_);
            return c.submit([st, contacts](MewMaster &m) -> Value {
                m.set_coils(st, contacts);
                return {};
            });
        },
        py::arg("station"), py::arg("contacts"));
    cls.def(
        "get_status",
        [](AsyncCore &c, py::handle station_) {
            std::int64_t st = station(station_);
            return c.submit([st](MewMaster &m) -> Value { return m.get_status(st); });
        },
        py::arg("station"));
#define MEW_ASYNC_TIMERS(get, set)                                                                          \
    cls.def(                                                                                                \
        #get,                                                                                               \
        [](AsyncCore &c, py::handle station_, py::handle start_, py::handle count_) {                       \
            std::int64_t st = station(station_), start = int64(start_), count = int64(count_);              \
            return c.submit([st, start, count](MewMaster &m) -> Value { return m.get(st, start, count); }); \
        },                                                                                                  \
        py::arg("station"), py::arg("start"), py::arg("count"));                                            \
    cls.def(                                                                                                \
        #set,                                                                                               \
        [](AsyncCore &c, py::handle station_, py::handle start_, py::handle values_) {                      \
            std::int64_t st = station(station_), start = int64(start_);                                     \
            auto values = word_list(values_);                                                               \
            return c.submit([st, start, values](MewMaster &m) -> Value {                                    \
                m.set(st, start, values);                                                                   \
                return {};                                                                                  \
            });                                                                                             \
        },                                                                                                  \
        py::arg("station"), py::arg("start"), py::arg("values"))
    MEW_ASYNC_TIMERS(get_preset_values, set_preset_values);
    MEW_ASYNC_TIMERS(get_elapsed_values, set_elapsed_values);
#undef MEW_ASYNC_TIMERS
    cls.def(
        "query",
        [](AsyncCore &c, const py::str &command_) {
            std::string command(text(command_));
            return c.submit([command](MewMaster &m) -> Value { return m.query(command); });
        },
        py::arg("command"));

    // Stopped, should the wait for its worker at the interpreter's exit be
    // interrupted.
    wrap_init(
        cls, {}, [](py::handle) {}, [](py::handle self) { own_threads(self, ExitRank::kWorker, "close"); });

    name_async_master(m);
}

}  // namespace mew::py_boundary
