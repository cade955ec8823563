// Channel and MewSerial.
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <mutex>
#include <optional>

#include "base/errors.h"
#include "module/bindings.h"
#include "module/channels.h"
#include "module/common.h"
#include "module/hooks.h"
#include "transport/fd_channel.h"
#include "transport/frame_reader.h"
#include "transport/tcp_channel.h"

namespace mew::py_boundary {

namespace {

// The abstract channel as Python subclasses see it. The core never calls a
// Python channel through these: it goes by attribute (PyChannel below).
class AbstractChannel : public Channel {
public:
    std::string read(std::int64_t) override { throw py::type_error("abstract method"); }
    std::string receive_frame() override { throw py::type_error("abstract method"); }
    void send_frame(std::string_view) override { throw py::type_error("abstract method"); }
    std::int64_t in_waiting() override { throw py::type_error("abstract method"); }
};

// What a channel's read or receive_frame returned: text, or bytes taken one
// character per byte. Anything else is a fault of the channel, not text to
// route ("None").
std::string text_result(const py::object &r, const char *method) {
    if (PyBytes_Check(r.ptr())) {
        char *data = nullptr;
        Py_ssize_t n = 0;
        if (PyBytes_AsStringAndSize(r.ptr(), &data, &n) != 0) throw py::error_already_set();
        return latin1_to_utf8(std::string_view(data, static_cast<std::size_t>(n)));
    }
    if (PyByteArray_Check(r.ptr()))
        return latin1_to_utf8(std::string_view(PyByteArray_AS_STRING(r.ptr()),
                                               static_cast<std::size_t>(PyByteArray_GET_SIZE(r.ptr()))));
    if (!PyUnicode_Check(r.ptr()))
        throw py::type_error(std::string(method) + "() must return str or bytes, not " +
                             Py_TYPE(r.ptr())->tp_name);
    return std::string(text(r));
}

// Any Python object used as a channel: every call goes through the
// interpreter.
class PyChannel : public Channel {
public:
    explicit PyChannel(py::object obj) : obj_(std::move(obj)) {}
    ~PyChannel() override {
        py::gil_scoped_acquire gil;
        obj_ = py::object();
    }
    std::string read(std::int64_t size) override {
        py::gil_scoped_acquire gil;
        return text_result(obj_.attr("read")(size), "read");
    }
    std::string read_one() override {
        py::gil_scoped_acquire gil;
        return text_result(obj_.attr("read")(), "read");
    }
    std::string receive_frame() override {
        py::gil_scoped_acquire gil;
        return text_result(obj_.attr("receive_frame")(), "receive_frame");
    }
    void send_frame(std::string_view data) override {
        py::gil_scoped_acquire gil;
        obj_.attr("send_frame")(to_str(data));
    }
    std::int64_t in_waiting() override {
        py::gil_scoped_acquire gil;
        return int64(obj_.attr("in_waiting"));
    }
    void close() override {
        py::gil_scoped_acquire gil;
        obj_.attr("close")();
    }
    void flush_input() override {
        py::gil_scoped_acquire gil;
        obj_.attr("flush_input")();
    }
    void flush_output() override {
        py::gil_scoped_acquire gil;
        obj_.attr("flush_output")();
    }

private:
    py::object obj_;
};

// Single-byte reads through the serial object itself: for ports that have
// no file descriptor of their own (or serial objects standing in for one).
class PySerialSource : public ByteSource {
public:
    explicit PySerialSource(py::handle serial) : serial_(serial) {}
    std::size_t read_some(char *into, std::size_t max, double) override {
        py::gil_scoped_acquire gil;
        py::object b = serial_.attr("read")(1);
        char *data = nullptr;
        Py_ssize_t n = 0;
        if (PyBytes_AsStringAndSize(b.ptr(), &data, &n) != 0) throw py::error_already_set();
        const std::size_t got = std::min(static_cast<std::size_t>(n), max);
        std::memcpy(into, data, got);
        return got;
    }

private:
    py::handle serial_;  // owned by the MewSerial
};

// Whether a port name is a URL that the serial library has a handler for
// ("loop://", "rfc2217://host:port", "spy:///dev/ttyUSB0", "hwgrep://..."),
// looked up in its handler packages as it does itself.
bool is_serial_url(const std::string &name) {
    const std::size_t colon = name.find("://");
    if (colon == std::string::npos || colon == 0) return false;
    std::string scheme = name.substr(0, colon);
    for (char &c : scheme) {
        if (!std::isalnum(static_cast<unsigned char>(c))) return false;
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    py::module_ find_spec = py::module_::import("importlib.util");
    for (py::handle package : py::module_::import("serial").attr("protocol_handler_packages")) {
        try {
            if (!find_spec.attr("find_spec")(py::str(package) + py::str(".protocol_") + py::str(scheme))
                     .is_none())
                return true;
        } catch (py::error_already_set &) {  // a handler package that is not there
        }
    }
    return false;
}

// An existing character device under any name: /dev/pts/3,
// /dev/serial/by-id/..., a link that udev made.
bool is_device_path(const std::string &name) {
    struct stat st {};
    return stat(name.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

// The serial library's port object for MewSerial's keywords: a URL port
// through its URL handlers, any other name as a plain port.
py::object open_serial(py::kwargs kwargs) {
    py::module_ serial = py::module_::import("serial");
    if (kwargs.contains("port") && PyUnicode_Check(py::object(kwargs["port"]).ptr()) &&
        is_serial_url(py::str(kwargs["port"]))) {
        py::object url = kwargs["port"];
        PyDict_DelItemString(kwargs.ptr(), "port");
        return serial.attr("serial_for_url")(url, **kwargs);
    }
    return serial.attr("Serial")(**kwargs);
}

}  // namespace

// A serial port opened with the serial library, whose bytes travel in C++
// on the port's file descriptor, without the interpreter.
class MewSerial : public Channel {
public:
    explicit MewSerial(py::object serial) : serial_(std::move(serial)) {
        py::object timeout = py::getattr(serial_, "timeout", py::none());
        double t = timeout.is_none() ? -1.0 : seconds(timeout);
        int fd = native_fd();
        if (fd >= 0) {
            native_ = std::make_unique<FdChannel>(fd, t);
        } else {
            source_ = std::make_unique<PySerialSource>(serial_);
            reader_ = std::make_unique<FrameReader>(*source_, t);
        }
    }
    ~MewSerial() override {
        py::gil_scoped_acquire gil;
        try {
            close();
        } catch (py::error_already_set &e) {
            e.discard_as_unraisable("MewSerial.__del__");
        } catch (...) {
        }
        serial_ = py::object();
    }

    std::string read(std::int64_t size) override {
        return native_ ? native_->read(size) : reader_->read(size);
    }
    std::string receive_frame() override {
        return native_ ? native_->receive_frame() : reader_->receive_frame();
    }
    std::string read_frame(std::atomic<bool> &started) override {
        return native_ ? native_->read_frame(started) : Channel::read_frame(started);
    }
    bool reads_within() const override { return native_ != nullptr; }
    std::string read_frame_within(std::atomic<bool> &started, double timeout) override {
        return native_ ? native_->read_frame_within(started, timeout) : read_frame(started);
    }
    void send_frame(std::string_view data) override {
        if (native_) return native_->send_frame(data);
        write_through_serial(data);
    }
    std::int64_t in_waiting() override {
        auto buffered = static_cast<std::int64_t>(native_ ? native_->buffered() : reader_->buffered());
        py::gil_scoped_acquire gil;
        return buffered + int64(serial_.attr("in_waiting"));
    }
    // The serial library closes the port and flushes it, as it knows how
    // for every kind of port; the byte path only lets go first.
    void close() override {
        if (native_) native_->close();
        py::gil_scoped_acquire gil;
        serial_.attr("close")();
    }
    void flush_input() override {
        native_ ? native_->discard() : reader_->discard();
        py::gil_scoped_acquire gil;
        serial_.attr("flushInput")();
    }
    void flush_output() override {
        py::gil_scoped_acquire gil;
        serial_.attr("flushOutput")();
    }
    void wake_reader() override {
        if (native_) native_->wake_reader();
    }
    const py::object &serial() const { return serial_; }

private:
    py::object serial_;
    std::unique_ptr<FdChannel> native_;       // a port with a descriptor of its own
    std::unique_ptr<PySerialSource> source_;  // or any other, through its read()
    std::unique_ptr<FrameReader> reader_;

    // For a port without a descriptor of its own. Out of line, so that a
    // frame sent on a descriptor costs no more than a jump here.
    [[gnu::noinline]] void write_through_serial(std::string_view data) {
        py::gil_scoped_acquire gil;
        serial_.attr("write")(py::bytes(data.data(), data.size()));
    }

    // The descriptor of a port opened by the serial library's POSIX class,
    // whose reads and writes are plain ones on it; -1 for anything else.
    int native_fd() const {
        try {
            py::module_ posix = py::module_::import("serial.serialposix");
            py::handle type = reinterpret_cast<PyObject *>(Py_TYPE(serial_.ptr()));
            py::object cls = posix.attr("Serial");
            for (const char *name : {"read", "write"})
                if (!py::getattr(type, name, py::none()).is(cls.attr(name))) return -1;
            py::object fd = serial_.attr("fileno")();
            return fd.cast<int>();
        } catch (py::error_already_set &) {
            return -1;
        } catch (py::cast_error &) {
            return -1;
        }
    }
};

StationChannel make_channel(py::object channel, py::kwargs kwargs) {
    if (PyUnicode_Check(channel.ptr())) {
        std::string name = py::str(channel);
        if (std::optional<StationChannel> tcp = tcp_channel_for(name, kwargs)) return *tcp;
        std::string lower = py::str(channel.attr("lower")());
        if (lower.rfind("com", 0) != 0 && lower.rfind("/dev/tty", 0) != 0 && !is_serial_url(name) &&
            !is_device_path(name))
            throw py::value_error("Unknown device name: " + name);
        kwargs["port"] = channel;
        py::object serial = py::module_::import("b4k_mew").attr("MewSerial")(**kwargs);
        return {serial.cast<std::shared_ptr<MewSerial>>(), serial};
    }
    if (Py_TYPE(channel.ptr()) == reinterpret_cast<PyTypeObject *>(py::type::of<MewSerial>().ptr()))
        return {channel.cast<std::shared_ptr<MewSerial>>(), channel};
    if (is_tcp_channel(channel)) return {channel.cast<std::shared_ptr<TcpChannel>>(), channel};
    return {std::make_shared<PyChannel>(channel), channel};
}

py::object take_channel(const char *cls, py::args &args, py::kwargs &kwargs) {
    if (args.size() == 1 && !kwargs.contains("channel")) return args[0];
    if (args.size() == 0 && kwargs.contains("channel")) {
        py::object channel = kwargs["channel"];
        PyDict_DelItemString(kwargs.ptr(), "channel");
        return channel;
    }
    throw py::type_error(std::string(cls) + "() takes exactly one channel argument (" +
                         std::to_string(args.size()) + " positional given)");
}

void bind_transport(py::module_ &m) {
    py::class_<Channel, AbstractChannel, std::shared_ptr<Channel>> channel(
        m, "Channel",
        "Abstract transport of whole frames. Subclasses implement read, receive_frame, send_frame and "
        "in_waiting; close, flush_input and flush_output do nothing unless overridden.");
    channel.def(py::init<>());
    auto abstract = [](const char *name) {
        return [name](py::args, py::kwargs) -> py::object {
            throw py::type_error(std::string("Channel.") + name + " is abstract");
        };
    };
    channel.def("read", abstract("read"), "read(size=1) -> str: at most size characters; empty on time-out.");
    channel.def("receive_frame", abstract("receive_frame"),
                "receive_frame() -> str: the text up to and including CR.");
    channel.def("send_frame", abstract("send_frame"), "send_frame(data: str): writes one whole frame.");
    channel.def_property_readonly("in_waiting", abstract("in_waiting"), "Bytes received and not yet read.");
    channel.def(
        "close", [](py::handle) {}, "Does nothing.");
    // A channel (MewSerial and every subclass) closes at the end of a with block.
    channel.def(
        "__enter__", [](py::object self) { return self; }, "Returns the channel.");
    channel.def(
        "__exit__", [](py::object self, py::args) { self.attr("close")(); }, "Calls close().");
    channel.def(
        "flush_input", [](py::handle) {}, "Does nothing.");
    channel.def(
        "flush_output", [](py::handle) {}, "Does nothing.");
    py::handle channel_cls = channel;
    wrap_init(
        channel,
        [channel_cls](py::handle self) {
            check_abstract(self, channel_cls, {"read", "receive_frame", "send_frame", "in_waiting"});
        },
        [](py::handle) {}, {});

    py::class_<MewSerial, Channel, std::shared_ptr<MewSerial>> serial(
        m, "MewSerial",
        "A serial port as a channel. Keyword arguments go unchanged to serial.Serial; timeout defaults to "
        "0.1 s.");
    serial.def(py::init([](py::args args, py::kwargs kwargs) {
                   if (!args.empty()) throw py::type_error("MewSerial() takes keyword arguments only");
                   if (!kwargs.contains("timeout")) kwargs["timeout"] = 0.1;
                   return std::make_shared<MewSerial>(open_serial(kwargs));
               }),
               "Opens serial.Serial(**kwargs), or serial.serial_for_url for a port URL (loop://, rfc2217://, "
               "spy://, ...), with timeout=0.1 unless given; keyword arguments only.");
    serial.def_property_readonly("_serial", &MewSerial::serial, "The open serial.Serial object.");
    serial.def(
        "read", [](MewSerial &s, std::int64_t size) { return s.read(size); }, py::arg("size") = 1,
        py::call_guard<py::gil_scoped_release>(), "Up to size bytes as text (Latin-1); empty on time-out.");
    serial.def("receive_frame", &MewSerial::receive_frame, py::call_guard<py::gil_scoped_release>(),
               "The next frame up to and including CR, read byte by byte with the read time-out.");
    serial.def(
        "send_frame",
        [](MewSerial &s, const py::str &data) {
            std::string_view bytes = text(data);
            py::gil_scoped_release nogil;
            s.send_frame(bytes);
        },
        py::arg("data"), "Writes the frame encoded as UTF-8.");
    serial.def_property_readonly(
        "in_waiting",
        [](MewSerial &s) {
            py::gil_scoped_release nogil;
            return s.in_waiting();
        },
        "Bytes received and not yet read.");
    serial.def("close", &MewSerial::close, py::call_guard<py::gil_scoped_release>(), "Closes the port.");
    serial.def("flush_input", &MewSerial::flush_input, py::call_guard<py::gil_scoped_release>(),
               "Discards received bytes not yet read.");
    serial.def("flush_output", &MewSerial::flush_output, py::call_guard<py::gil_scoped_release>(),
               "Discards bytes queued for sending.");

    bind_tcp(m);

    // Errors of the port itself reach Python as the serial library's own.
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const PortClosedError &) {
            py::object e = py::module_::import("serial").attr("PortNotOpenError")();
            PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(e.ptr())), e.ptr());
        } catch (const SerialError &e) {
            PyErr_SetString(py::module_::import("serial").attr("SerialException").ptr(), e.what());
        }
    });
}

}  // namespace mew::py_boundary
