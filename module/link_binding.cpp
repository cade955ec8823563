// Listeners, locks, MewBase and MewMasterBase.
#include <optional>
#include <stdexcept>

#include "base/errors.h"
#include "module/bindings.h"
#include "module/link_trampolines.h"
#include "module/station_args.h"

namespace mew::py_boundary {

namespace {

// A Python object with put() as a listener: the receiver calls put with the GIL.
class PyListener : public Listener {
public:
    explicit PyListener(py::object obj) : obj_(std::move(obj)) {}
    ~PyListener() override {
        py::gil_scoped_acquire gil;
        obj_ = py::object();
    }
    void put(const std::string &frame) override {
        py::gil_scoped_acquire gil;
        obj_.attr("put")(to_str(frame));
    }
    PyObject *object() const { return obj_.ptr(); }

private:
    py::object obj_;
};

ListenerList::Item as_listener(py::handle obj) {
    if (py::isinstance<FrameQueue>(obj)) return obj.cast<std::shared_ptr<FrameQueue>>();
    return std::make_shared<PyListener>(py::reinterpret_borrow<py::object>(obj));
}

py::object listener_object(const ListenerList::Item &item) {
    if (auto *p = dynamic_cast<PyListener *>(item.get()))
        return py::reinterpret_borrow<py::object>(p->object());
    return py::cast(std::static_pointer_cast<FrameQueue>(item));
}

ListenerList::Match same_as(py::handle obj) {
    const void *target = obj.ptr();
    if (py::isinstance<FrameQueue>(obj)) target = &obj.cast<FrameQueue &>();
    return [target](const Listener &l) {
        if (auto *p = dynamic_cast<const PyListener *>(&l)) return p->object() == target;
        return static_cast<const void *>(&l) == target;
    };
}

py::list as_list(ListenerList &list) {
    std::vector<ListenerList::Item> items;
    {
        py::gil_scoped_release nogil;
        items = list.snapshot();
    }
    py::list out;
    for (auto &item : items) out.append(listener_object(item));
    return out;
}

// Runs `op` on the listeners as a Python list while holding the listener
// lock, and stores the list back when `op` may have changed it: every list
// operation a user may know acts on the live list in one step.
template <class Op>
py::object with_items(ListenerList &list, bool change, Op op) {
    std::optional<StationLockGuard> hold;
    {
        py::gil_scoped_release nogil;
        hold.emplace(list.lock());
    }
    py::list items = as_list(list);
    py::object result = op(items);
    if (change) {
        std::vector<ListenerList::Item> converted;
        converted.reserve(items.size());
        for (py::handle item : items) converted.push_back(as_listener(item));
        list.replace(std::move(converted));
    }
    return result;
}

py::list list_of(py::handle iterable) {
    PyObject *l = PySequence_List(iterable.ptr());
    if (!l) throw py::error_already_set();
    return py::reinterpret_steal<py::list>(l);
}

// Replaces the whole list from any iterable, as `station._query_listeners =
// [...]` (and `+=`, which assigns its result back) would on a plain list.
void assign(ListenerList &list, py::handle value) {
    if (py::isinstance<ListenerList>(value) && &value.cast<ListenerList &>() == &list) return;
    py::list wanted = list_of(value);
    with_items(list, true, [&](py::list &items) {
        items.attr("__setitem__")(py::slice(py::none(), py::none(), py::none()), wanted);
        return py::object(py::none());
    });
}

bool acquire(StationLock &lock, bool blocking, double timeout) {
    if (!blocking && timeout != -1) throw py::value_error("can't specify a timeout for a non-blocking call");
    if (timeout < 0 && timeout != -1) throw py::value_error("timeout value must be a non-negative number");
    py::gil_scoped_release nogil;
    return lock.try_lock_for(!blocking ? 0.0 : timeout);
}

void release(StationLock &lock) {
    try {
        lock.unlock();
    } catch (const std::logic_error &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        throw py::error_already_set();
    }
}

[[noreturn]] void raise_empty() {
    PyErr_SetNone(py::module_::import("queue").attr("Empty").ptr());
    throw py::error_already_set();
}

py::str frame_or_empty(FrameQueue &q, double timeout) {
    std::optional<std::string> frame;
    {
        py::gil_scoped_release nogil;
        frame = q.get(timeout);
    }
    if (!frame) raise_empty();
    return to_str(*frame);
}

}  // namespace

py::object pop_query_timeout(py::kwargs &kwargs) {
    if (!kwargs.contains("query_timeout")) return py::int_(1);
    py::object timeout = kwargs["query_timeout"];
    PyDict_DelItemString(kwargs.ptr(), "query_timeout");
    return timeout;
}

double timeout_seconds(py::handle value) {
    if (value.is_none()) return -1.0;
    double t = seconds(value);
    if (t < 0) throw py::value_error("'timeout' must be a non-negative number");
    return t;
}

void bind_link(py::module_ &m) {
    py::class_<FrameQueue, std::shared_ptr<FrameQueue>>(
        m, "Listener",
        "The library's listener: an unbounded thread-safe first-in-first-out queue of frames, "
        "with the interface of queue.Queue.")
        .def(py::init<>(), "An empty queue.")
        .def(
            "put",
            [](FrameQueue &q, const py::str &frame, py::args, py::kwargs) {
                q.put(std::string(text(frame)));
            },
            py::arg("frame"), "Adds a frame; never blocks.")
        .def(
            "get",
            [](FrameQueue &q, bool block, py::object timeout) {
                return frame_or_empty(q, block ? timeout_seconds(timeout) : 0.0);
            },
            py::arg("block") = true, py::arg("timeout") = py::none(),
            "The oldest frame, waiting at most timeout seconds (None: without limit); queue.Empty when none "
            "came.")
        .def(
            "get_nowait", [](FrameQueue &q) { return frame_or_empty(q, 0.0); },
            "The oldest frame at once; queue.Empty when there is none.")
        .def(
            "empty", [](FrameQueue &q) { return q.size() == 0; }, "Whether no frame is waiting.")
        .def("qsize", &FrameQueue::size, "How many frames are waiting.");

    py::class_<StationLock>(m, "StationLock",
                            "A lock of a station, used as threading.RLock: acquire, release, and `with`.")
        .def("acquire", &acquire, py::arg("blocking") = true, py::arg("timeout") = -1,
             "Waits for the lock (at most timeout seconds unless -1); True when acquired.")
        .def("release", &release, "Releases the lock; RuntimeError when the caller does not hold it.")
        .def("locked", &StationLock::locked, "Whether any thread holds the lock.")
        .def(
            "__enter__", [](StationLock &l) { return acquire(l, true, -1); }, "Acquires the lock.")
        .def(
            "__exit__", [](StationLock &l, py::args) { release(l); }, "Releases the lock.");

    py::class_<ListenerList> listeners(
        m, "ListenerList",
        "A station's live list of listeners: anything with put(frame). Every change "
        "holds the station's listener lock.");
    listeners
        .def(
            "append",
            [](ListenerList &list, py::handle obj) {
                auto item = as_listener(obj);
                py::gil_scoped_release nogil;
                list.append(std::move(item));
            },
            py::arg("listener"), "Adds a listener: any object with put(frame).")
        .def(
            "remove",
            [](ListenerList &list, py::handle obj) {
                auto match = same_as(obj);
                ListenerList::Item removed;
                {
                    py::gil_scoped_release nogil;
                    removed = list.remove(match);
                }
                if (!removed) throw py::value_error("list.remove(x): x not in list");
            },
            py::arg("listener"), "Removes a listener; ValueError when it is not in the list.")
        .def(
            "__len__",
            [](ListenerList &list) {
                py::gil_scoped_release nogil;
                return list.size();
            },
            "The number of listeners.")
        .def("__bool__",
             [](ListenerList &list) {
                 py::gil_scoped_release nogil;
                 return list.size() != 0;
             })
        .def(
            "__iter__", [](ListenerList &list) { return as_list(list).attr("__iter__")(); },
            "Iterates over the listeners registered now.")
        .def(
            "__getitem__",
            [](ListenerList &list, py::handle index) -> py::object {
                py::list items = as_list(list);
                return items[index];
            },
            "The listener at an index.")
        .def(
            "__contains__",
            [](ListenerList &list, py::handle obj) {
                auto match = same_as(obj);
                py::gil_scoped_release nogil;
                return list.contains(match);
            },
            "Whether the very object is registered.")
        .def("__repr__", [](ListenerList &list) { return py::repr(as_list(list)); })
        .def(
            "__iadd__",
            [](py::object self, py::handle other) {
                py::list more = list_of(other);
                with_items(self.cast<ListenerList &>(), true,
                           [&](py::list &items) { return items.attr("extend")(more); });
                return self;
            },
            "Adds the listeners of any iterable, in place.");
    // Whatever a list does, on the listeners registered now: the changes
    // under the listener lock, the rest on a copy.
    for (const char *name :
         {"extend", "insert", "pop", "clear", "reverse", "sort", "__delitem__", "__setitem__"})
        listeners.def(
            name,
            [name](ListenerList &list, py::args args, py::kwargs kwargs) {
                return with_items(list, true,
                                  [&](py::list &items) { return items.attr(name)(*args, **kwargs); });
            },
            (std::string("As list.") + name + ", on the live list.").c_str());
    for (const char *name : {"copy", "count", "index", "__reversed__", "__add__", "__radd__", "__mul__",
                             "__rmul__", "__lt__", "__le__", "__gt__", "__ge__", "__eq__", "__ne__"})
        listeners.def(
            name,
            [name](ListenerList &list, py::args args) -> py::object {
                for (std::size_t i = 0; i < args.size(); ++i)
                    if (py::isinstance<ListenerList>(args[i])) {
                        py::list copy = py::list(args);
                        copy[i] = as_list(args[i].cast<ListenerList &>());
                        args = py::tuple(copy);
                    }
                return as_list(list).attr(name)(*args);
            },
            (std::string("As list.") + name + ", on a copy of the listeners registered now.").c_str());

    // Station members are views into the C++ object; they keep it alive.
    auto members = [](auto &cls) {
        using Station = typename std::remove_reference_t<decltype(cls)>::type;
        cls.def_property_readonly(
               "_channel", [](Station &s) { return dynamic_cast<ChannelObject &>(s).channel_object; },
               "The station's channel.")
            .def_property_readonly(
                "_stop_flag", [](Station &s) { return s.stop_flag(); },
                "True while no receiver is meant to run.")
            .def_property(
                "_feedback_listeners",
                py::cpp_function([](Station &s) -> ListenerList & { return s.feedback_listeners(); },
                                 py::return_value_policy::reference_internal),
                [](Station &s, py::handle value) { assign(s.feedback_listeners(), value); },
                "Listeners of every response frame.")
            .def_property(
                "_query_listeners",
                py::cpp_function([](Station &s) -> ListenerList & { return s.query_listeners(); },
                                 py::return_value_policy::reference_internal),
                [](Station &s, py::handle value) { assign(s.query_listeners(), value); },
                "Listeners of every command frame.")
            .def_property_readonly(
                "_listener_lock", [](Station &s) -> StationLock & { return s.listener_lock(); },
                py::return_value_policy::reference_internal, "Guards both listener lists.")
            .def_property_readonly(
                "_sender_lock", [](Station &s) -> StationLock & { return s.sender_lock(); },
                py::return_value_policy::reference_internal, "Held for exactly one frame written.")
            .def_property_readonly(
                "_receiver_thread", [](Station &s) { return thread_object(s.receiver_thread()); },
                "The receiver thread (a threading.Thread), or None before the first start.");
    };

    py::class_<MewBase, PyLink<MewBase>> base(
        m, "MewBase",
        "The link base of every station: owns a channel (a Channel object, or a port name such as "
        "\"/dev/ttyUSB0\" or \"COM3\" with serial settings as keywords), sends under a sender lock and "
        "routes "
        "every received frame by its type.");
    base.def(py::init([](py::args args, py::kwargs kwargs) {
        return make_station<PyLink<MewBase>>("MewBase", args, kwargs);
    }));
    members(base);
    base.def(
        "start", [](MewBase &s) { s.MewBase::start(); }, py::call_guard<py::gil_scoped_release>(),
        "Discards pending input and starts the receiver thread; nothing when it runs already.");
    base.def(
        "stop", [](MewBase &s) { s.MewBase::stop(); }, py::call_guard<py::gil_scoped_release>(),
        "Stops the receiver thread and waits for it; nothing when stopped already.");
    base.def(
        "close", [](MewBase &s) { s.MewBase::close(); }, py::call_guard<py::gil_scoped_release>(),
        "stop(), then closes the channel.");
    // Every station is a context manager: its threads and its line end with
    // the block. close() is looked up on the object, so a subclass's runs.
    base.def(
        "__enter__", [](py::object self) { return self; }, "Returns the station.");
    base.def(
        "__exit__", [](py::object self, py::args) { self.attr("close")(); }, "Calls close().");
    base.def(
        "_send",
        [](MewBase &s, const py::str &data) {
            std::string_view frame = text(data);
            py::gil_scoped_release nogil;
            s.MewBase::send(frame);
        },
        py::arg("data"), "Writes one whole frame under the sender lock.");
    base.def("_receiver", &MewBase::receiver_loop, py::call_guard<py::gil_scoped_release>(),
             "The receiver thread's body.");
    hook_init<MewBase>(base);

    py::class_<MewMasterBase, MewBase, PyMasterLink<MewMasterBase>> master(
        m, "MewMasterBase",
        "A station that sends a command and waits for its response (query_timeout seconds, default 1).");
    master.def(py::init([](py::args args, py::kwargs kwargs) {
        return make_station<PyMasterLink<MewMasterBase>>("MewMasterBase", args, kwargs);
    }));
    master.def_property(
        "_query_timeout",
        [](MewMasterBase &s) { return dynamic_cast<ChannelObject &>(s).query_timeout_object; },
        [](MewMasterBase &s, py::object value) {
            s.set_query_timeout(timeout_seconds(value));
            dynamic_cast<ChannelObject &>(s).query_timeout_object = value;
        },
        "Seconds a query waits for its response.");
    master.def_property_readonly(
        "_query_lock", [](MewMasterBase &s) -> StationLock & { return s.query_lock(); },
        py::return_value_policy::reference_internal, "Held for the whole of one query.");
    master.def(
        "query",
        [](MewMasterBase &s, const py::str &command) {
            std::string_view frame = text(command);
            std::string result;
            {
                py::gil_scoped_release nogil;
                result = s.MewMasterBase::query(frame);
            }
            return to_str(result);
        },
        py::arg("command"),
        "Sends a complete command frame and returns the response's code and data, or raises IOError.");
    hook_init<MewMasterBase>(master);
}

}  // namespace mew::py_boundary
