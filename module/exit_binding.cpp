// The interpreter's exit with stations, servers and workers still running.
//
// Their threads are not daemons: at exit the interpreter waits for them, so
// that a script whose stations serve goes on serving until they are closed.
// A Ctrl-C (or a signal whose handler raises) during that wait used to
// leave them running into the interpreter's teardown, where a thread that
// asks for the interpreter is ended under C++ frames, which aborts the
// process. Here the wait is ours: it waits for the same threads, and when
// it is interrupted it stops every owner of one, in the order that lets
// each finish (workers and servers before the stations they use), and lets
// the interpreter end as it would have.
#include <pybind11/eval.h>

#include <atomic>

#include "module/hooks.h"

namespace mew::py_boundary {

namespace {

// Seconds between two looks at the threads while the exit waits for them.
constexpr double kExitWaitSlice = 0.05;
// The longest the stop after an interruption waits for the threads: each
// ends within its own read or queue time-out.
constexpr double kLongestStop = 10.0;

constexpr const char *kExitSide = R"(
import threading
import weakref

import time

# Given by the module: running(), how many threads of stations and
# services run; SLICE and LONGEST_STOP, in seconds.
# id(owner) -> (rank, weak reference, name of the method that stops it,
# whether it is stopped at exit rather than waited for).
owners = {}


def own(owner, rank, method, at_exit):
    key = id(owner)

    def gone(_ref, key=key):
        owners.pop(key, None)

    owners[key] = (rank, weakref.ref(owner, gone), method, at_exit)


def stop_owners(only_at_exit=False):
    for rank, ref, method, at_exit in sorted(list(owners.values()), key=lambda entry: entry[0]):
        owner = ref()
        if owner is None or (only_at_exit and not at_exit):
            continue
        try:
            getattr(owner, method)()
        except Exception:  # a broken override: stop the others all the same
            pass


def wait_at_exit():
    try:
        stop_owners(only_at_exit=True)
        # Not Thread.join(): a Ctrl-C that lands in it marks the thread as
        # ended while it runs (and the owner's own join returns at once).
        while running():
            time.sleep(SLICE)
    except BaseException:  # Ctrl-C, or what a signal handler raised
        deadline = time.monotonic() + LONGEST_STOP
        while True:
            try:
                stop_owners()
                while running() and time.monotonic() < deadline:
                    time.sleep(SLICE / 10)
                return
            except BaseException:  # another one meanwhile: the owners are stopped all the same
                if time.monotonic() >= deadline:
                    return


try:
    threading._register_atexit(wait_at_exit)
except (AttributeError, RuntimeError):  # an interpreter without it, or one shutting down
    pass
)";

py::object g_own;
std::atomic<int> g_running{0};

}  // namespace

RunningThread::RunningThread() {
    g_running.fetch_add(1);
}

RunningThread::~RunningThread() {
    g_running.fetch_sub(1);
}

void install_exit_wait() {
    py::dict side;
    side["SLICE"] = kExitWaitSlice;
    side["LONGEST_STOP"] = kLongestStop;
    side["running"] = py::cpp_function([] { return g_running.load(); });
    py::exec(kExitSide, side);
    g_own = side["own"];
    // Held for the module's life, which ends with the interpreter's.
    g_own.inc_ref();
}

void own_threads(py::handle owner, ExitRank rank, const char *stop_method, bool stop_at_exit) {
    if (g_own) g_own(owner, static_cast<int>(rank), stop_method, stop_at_exit);
}

}  // namespace mew::py_boundary
