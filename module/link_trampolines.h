// Trampolines of the link: the C++ side of MewBase and MewMasterBase as
// Python subclasses see them. Every virtual that a subclass may replace asks its PyHooks whether the
// Python class overrides it; only then does the call take the GIL.
#pragma once

#include "link/mew_base.h"
#include "link/mew_master_base.h"
#include "module/channels.h"
#include "module/hooks.h"

namespace mew::py_boundary {

// Python objects a station keeps as they were given: its channel and its
// query time-out.
struct ChannelObject {
    py::object channel_object;
    py::object query_timeout_object;
    ~ChannelObject() {
        if (channel_object || query_timeout_object) {
            py::gil_scoped_acquire gil;
            channel_object = py::object();
            query_timeout_object = py::object();
        }
    }
};

template <class Base>
class PyLink : public Base, public PyHooks, public ChannelObject {
public:
    using Base::Base;

    void start() override {
        if (!overridden(kStart)) return Base::start();
        py::gil_scoped_acquire gil;
        call(kStart);
    }
    void stop() override {
        if (!overridden(kStop)) return Base::stop();
        py::gil_scoped_acquire gil;
        call(kStop);
    }
    void close() override {
        if (!overridden(kClose)) return Base::close();
        py::gil_scoped_acquire gil;
        call(kClose);
    }
    void send(std::string_view data) override {
        if (!overridden(kSend)) return Base::send(data);
        py::gil_scoped_acquire gil;
        call(kSend, to_str(data));
    }

protected:
    bool receiver_replaced() const override { return this->overridden(kReceiver); }
    std::unique_ptr<runtime::WorkerThread> spawn(const char *method, std::function<void()> body) override {
        if (!self()) return Base::spawn(method, std::move(body));
        return python_thread(self(), method);
    }
};

template <class Base>
class PyMasterLink : public PyLink<Base> {
public:
    using PyLink<Base>::PyLink;

    std::string query(std::string_view command) override {
        if (!this->overridden(kQuery)) return Base::query(command);
        py::gil_scoped_acquire gil;
        return std::string(text(str_result(this->call(kQuery, to_str(command)), "query")));
    }
};

// query_timeout as the master waits with it: None waits without limit.
double timeout_seconds(py::handle value);
// Takes query_timeout out of a constructor's keywords; 1 when not given.
py::object pop_query_timeout(py::kwargs &kwargs);

}  // namespace mew::py_boundary
