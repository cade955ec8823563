// Poller: the C++ poller on a master, its cache read from Python and its
// changes delivered to a callback and to asyncio iterators.
#include <pybind11/eval.h>
#include <atomic>

#include "module/bindings.h"
#include "module/hooks.h"
#include "module/station_trampolines.h"
#include "services/poller.h"
#include "station/station_worker.h"

namespace mew::py_boundary {

namespace {

// A Python object that C++ may release on any thread: the GIL is taken
// for the last reference.
struct PyRef {
    py::object object;
    explicit PyRef(py::object o) : object(std::move(o)) {}
    PyRef(const PyRef &) = delete;
    PyRef &operator=(const PyRef &) = delete;
    ~PyRef() {
        if (!Py_IsInitialized()) {
            object.release();  // the interpreter is gone: nothing to free
            return;
        }
        py::gil_scoped_acquire gil;
        object = py::object();
    }
};

// What the changes of a cycle reach: the callback and the change streams
// (weak references to PollerChanges). Only touched with the GIL held.
struct Receivers {
    py::object on_change = py::none();
    py::list streams;
    // Whether there is any of them, readable without the GIL: a cycle whose
    // changes nobody receives does not wait for the interpreter.
    std::atomic<bool> listening{false};
    // Tells the poller whether to collect changes at all.
    Poller *poller = nullptr;
    void update() {
        listening = !on_change.is_none() || !streams.empty();
        if (poller) poller->listen(listening.load());
    }
    Receivers() = default;
    Receivers(const Receivers &) = delete;
    Receivers &operator=(const Receivers &) = delete;
    ~Receivers() {
        if (!Py_IsInitialized()) {
            on_change.release();
            streams.release();
            return;
        }
        py::gil_scoped_acquire gil;
        on_change = py::object();
        streams = py::list();
    }
};

// The named tuples and the stream class, made once when the module loads.
py::object g_result_type;  // b4k_mew.PollResult
py::object g_change_type;  // b4k_mew.PollChange
py::object g_stream_type;  // b4k_mew.PollerChanges

// The asynchronous side in Python: an asyncio.Queue fed from the poller's
// thread through call_soon_threadsafe, one batch per cycle, and the stop of
// every poller still running when the interpreter shuts down, before it
// waits for the threads that are not daemons.
constexpr const char *kPythonSide = R"(
import asyncio
import collections
import threading
import weakref


class PollerChanges:
    """The changes of a poller as they come, for ``async for``: each a
    ``PollChange(name, value, time)``. Made by ``Poller.changes()`` inside a
    coroutine; fed by the poller's thread through the event loop, with no
    thread of its own. Ends when the poller closes or ``close()`` is called."""

    def __init__(self, loop):
        self._loop = loop
        self._queue = asyncio.Queue()
        self._pending = collections.deque()
        self._ended = False

    def _feed(self, batch):
        self._loop.call_soon_threadsafe(self._queue.put_nowait, batch)

    def close(self):
        """Ends the iteration once the changes already delivered are taken."""
        if self._ended:
            return
        self._ended = True
        try:
            self._loop.call_soon_threadsafe(self._queue.put_nowait, None)
        except RuntimeError:  # the loop is closed: nobody is waiting
            pass

    @property
    def ended(self):
        return self._ended

    def __aiter__(self):
        return self

    async def __anext__(self):
        while not self._pending:
            batch = await self._queue.get()
            if batch is None:
                self._queue.put_nowait(None)  # ended for every later call too
                raise StopAsyncIteration
            self._pending.extend(batch)
        return self._pending.popleft()

)";

py::object to_py(const PointValue &value) {
    if (const bool *b = std::get_if<bool>(&value)) return py::bool_(*b);
    if (const std::int64_t *i = std::get_if<std::int64_t>(&value)) return py::int_(*i);
    if (const double *d = std::get_if<double>(&value)) return py::float_(*d);
    return py::none();
}

py::object seconds_or_none(double t) {
    if (t == 0) return py::none();
    return py::float_(t);
}

py::object to_result(const PointReading &r) {
    return g_result_type(to_py(r.value), seconds_or_none(r.time), seconds_or_none(r.changed),
                         r.error ? py::object(to_str(*r.error)) : py::object(py::none()));
}

// Called on the poller's thread, which holds no lock of the poller.
void deliver(Receivers &to, const std::vector<PointChange> &changes) {
    if (!to.listening.load()) return;
    py::gil_scoped_acquire gil;
    try {
        py::list batch(changes.size());
        for (std::size_t i = 0; i < changes.size(); ++i)
            batch[i] = g_change_type(to_str(changes[i].name), to_py(changes[i].value), changes[i].time);
        if (!to.on_change.is_none()) {
            py::object callback = to.on_change;  // the callback may replace itself
            try {
                callback(batch);
            } catch (...) {
                report_unhandled(std::current_exception());
            }
        }
        if (to.streams.empty()) return;
        py::list alive;
        for (py::handle ref : py::list(to.streams)) {
            py::object stream = ref();
            if (stream.is_none() || truth(stream.attr("ended"))) continue;
            try {
                stream.attr("_feed")(batch);
                alive.append(ref);
            } catch (...) {  // its loop is closed: it will never read again
                report_unhandled(std::current_exception());
            }
        }
        to.streams = alive;
        to.update();
    } catch (...) {
        report_unhandled(std::current_exception());
    }
}

class PyPoller {
public:
    PyPoller(const py::object &master, std::int64_t max_words, std::int64_t max_gap, py::object on_change,
             double max_backoff)
        : master_(master), receivers_(std::make_shared<Receivers>()) {
        if (!py::isinstance<MewMaster>(master))
            throw py::type_error("Poller() needs a master station (a MewMaster), not " +
                                 std::string(py::str(py::type::handle_of(master).attr("__name__"))));
        set_on_change(std::move(on_change));
        // The core keeps the master alive as long as its thread may use it.
        auto keeper = std::make_shared<PyRef>(master);
        std::shared_ptr<MewMaster> shared(keeper, &master.cast<MewMaster &>());
        Poller::Options options;
        options.max_words = max_words;
        options.max_gap = max_gap;
        options.max_backoff = max_backoff;
        std::shared_ptr<Receivers> receivers = receivers_;
        poller_ = std::make_unique<Poller>(
            std::move(shared), options,
            [receivers](std::vector<PointChange> &&changes) { deliver(*receivers, changes); },
            [](std::function<void()> body) { return python_thread("Poller", std::move(body)); });
        receivers_->poller = poller_.get();
        receivers_->update();
    }

    ~PyPoller() {
        end_streams();
        {
            py::gil_scoped_release nogil;
            poller_.reset();
        }
        receivers_->poller = nullptr;
    }

    Poller &core() { return *poller_; }
    const py::object &master() const { return master_; }
    const py::object &on_change() const { return receivers_->on_change; }
    void set_on_change(py::object callback) {
        if (!callback.is_none() && !PyCallable_Check(callback.ptr()))
            throw py::type_error("on_change must be callable or None, not " +
                                 std::string(py::str(py::type::handle_of(callback).attr("__name__"))));
        receivers_->on_change = std::move(callback);
        receivers_->update();
    }

    void start() {
        py::gil_scoped_release nogil;
        poller_->start();
    }
    void stop() {
        py::gil_scoped_release nogil;
        poller_->stop();
    }
    void close() {
        {
            py::gil_scoped_release nogil;
            poller_->close();
        }
        end_streams();
    }

    py::object changes() {
        py::object loop = py::module_::import("asyncio").attr("get_running_loop")();
        py::object stream = g_stream_type(loop);
        if (poller_->closed())
            stream.attr("close")();
        else
            receivers_->streams.append(py::module_::import("weakref").attr("ref")(stream));
        receivers_->update();
        return stream;
    }

private:
    py::object master_;
    std::shared_ptr<Receivers> receivers_;
    std::unique_ptr<Poller> poller_;

    void end_streams() {
        for (py::handle ref : receivers_->streams) {
            py::object stream = ref();
            if (!stream.is_none()) stream.attr("close")();
        }
        receivers_->streams = py::list();
        receivers_->update();
    }
};

std::string point_name(const py::str &name) {
    return std::string(text(name));
}

[[noreturn]] void unknown(const py::str &name) {
    throw py::key_error(std::string(text(name)));
}

}  // namespace

void bind_poller(py::module_ &m) {
    py::dict side;
    py::exec(kPythonSide, side);
    g_stream_type = side["PollerChanges"];
    g_stream_type.attr("__module__") = "b4k_mew";
    m.attr("PollerChanges") = g_stream_type;

    py::object namedtuple = py::module_::import("collections").attr("namedtuple");
    g_result_type = namedtuple("PollResult", "value time changed error", py::arg("module") = "b4k_mew");
    g_result_type.attr("__doc__") =
        "A point as a poller last read it: the value (None until first read), when it was read and when it "
        "last changed (time.time() seconds, None until first read), and the last read's error (None when "
        "fine).";
    m.attr("PollResult") = g_result_type;
    g_change_type = namedtuple("PollChange", "name value time", py::arg("module") = "b4k_mew");
    g_change_type.attr("__doc__") = "A point whose value changed: its name, the new value, when it was read.";
    m.attr("PollChange") = g_change_type;

    py::class_<PyPoller>(
        m, "Poller",
        "Reads points (a station, an address, a type, a period) again and again on a master, in as few "
        "commands as allowed, from a thread of its own that needs the interpreter only to deliver changes. "
        "The latest value of every point is kept and read without waiting on the line. The master stays "
        "usable: its queries take turns with the poller's. Close it (or use it as a context manager); a "
        "poller still running when the interpreter shuts down is stopped.")
        .def(py::init([](const py::object &master, py::handle max_words, py::handle max_gap,
                         py::object on_change, py::handle max_backoff) {
                 auto p = std::make_unique<PyPoller>(master, int64(max_words), int64(max_gap),
                                                     std::move(on_change), seconds(max_backoff));
                 return p;
             }),
             py::arg("master"), py::arg("max_words") = 27, py::arg("max_gap") = 4,
             py::arg("on_change") = py::none(), py::kw_only(), py::arg("max_backoff") = 30.0,
             "max_words: registers per command unless the master's max_read_words is set; max_gap: unused "
             "registers a command may read to save another; on_change(changes): called once a cycle with the "
             "list of PollChange(name, value, time) of the points that changed; max_backoff: the longest "
             "wait, in seconds, before a station that stopped answering is tried again.")
        .def(
            "add",
            [](PyPoller &p, py::handle station_, const py::str &address_, py::handle type_,
               py::handle period_, py::handle name_) {
                std::int64_t st = station(station_);
                std::string address(text(address_));
                std::string type;
                if (type_.is_none())
                    type = parse_point_address(address).kind == PointAddress::kContact ? "bool" : "uint16";
                else if (PyUnicode_Check(type_.ptr()))
                    type = std::string(text(type_));
                else
                    throw py::type_error("type must be a str such as \"uint16\"");
                double period = seconds(period_);
                std::optional<std::string> name;
                if (!name_.is_none()) {
                    if (!PyUnicode_Check(name_.ptr())) throw py::type_error("a point name must be str");
                    name = std::string(text(name_));
                }
                return p.core().add(st, address, type, period, name);
            },
            py::arg("station"), py::arg("address"), py::arg("type") = py::none(), py::arg("period") = 1.0,
            py::arg("name") = py::none(),
            "Adds a point and returns its name (\"station:address\" unless given). address, as parse_address "
            "reads it: a register \"DT100\", \"LD5\", \"FL0\", \"S0\", a contact word \"WX0\" or a contact "
            "\"X0010\"; type: \"bool\" (a "
            "contact; the default for one), \"uint16\" (the default otherwise), \"int16\", \"uint32\", "
            "\"int32\", \"float32\"; period in seconds. ValueError for a bad address, type or period, or a "
            "name "
            "in use, with nothing added.")
        .def(
            "remove",
            [](PyPoller &p, const py::str &name) {
                if (!p.core().remove(point_name(name))) unknown(name);
            },
            py::arg("name"), "Removes a point; KeyError when there is none of that name.")
        .def("start", &PyPoller::start,
             "Starts polling on a thread of its own; nothing when it runs already.")
        .def("stop", &PyPoller::stop,
             "Stops polling and waits for the thread to end (from on_change: it ends when the callback "
             "returns). The cache stays readable; start() goes on.")
        .def("close", &PyPoller::close, "Stops for good and ends the change iterators.")
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](PyPoller &p, py::args) { p.close(); })
        .def(
            "value",
            [](PyPoller &p, const py::str &name) {
                // The cache's lock is only ever held for a copy: taken with the GIL.
                std::optional<PointValue> v = p.core().value(point_name(name));
                if (!v) unknown(name);
                return to_py(*v);
            },
            py::arg("name"), "The point's latest value, None until first read; KeyError for an unknown name.")
        .def(
            "get",
            [](PyPoller &p, const py::str &name) {
                std::optional<PointReading> r = p.core().reading(point_name(name));
                if (!r) unknown(name);
                return to_result(*r);
            },
            py::arg("name"), "The point as a PollResult(value, time, changed, error).")
        .def(
            "snapshot",
            [](PyPoller &p) {
                py::dict out;
                for (const auto &[name, reading] : p.core().snapshot())
                    out[to_str(name)] = to_result(reading);
                return out;
            },
            "Every point: a dict of name -> PollResult, in the order they were added.")
        .def("__len__", [](PyPoller &p) { return p.core().names().size(); })
        .def("__contains__",
             [](PyPoller &p, py::handle name) {
                 return PyUnicode_Check(name.ptr()) && p.core().value(std::string(text(name))).has_value();
             })
        .def(
            "changes", &PyPoller::changes,
            "An asynchronous iterator of the PollChange of every point that changes from now on: "
            "`async for change in poller.changes()`. Call it in a coroutine; it ends when the poller closes.")
        .def_property_readonly(
            "commands_per_cycle", [](PyPoller &p) { return p.core().commands_per_cycle(); },
            "Commands one cycle of every point takes.")
        .def_property_readonly(
            "cycles", [](PyPoller &p) { return p.core().cycles(); },
            "Cycles so far: passes in which any point was due.")
        .def_property_readonly("running", [](PyPoller &p) { return p.core().running(); })
        .def_property_readonly("closed", [](PyPoller &p) { return p.core().closed(); })
        .def_property_readonly("master", &PyPoller::master, "The master it polls on.")
        .def_property("on_change", &PyPoller::on_change, &PyPoller::set_on_change,
                      "on_change(changes), called from the poller's thread once a cycle with the list of "
                      "PollChange of the points that changed; None for no call.");

    // A poller still running when the interpreter exits is stopped, not
    // waited for.
    wrap_init(
        m.attr("Poller"), {}, [](py::handle) {},
        [](py::handle self) { own_threads(self, ExitRank::kWorker, "stop", true); });
}

}  // namespace mew::py_boundary
