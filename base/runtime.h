// What the link engine needs from its host: a place for its one-line
// messages, a way to tell what an error was, and threads. The defaults are
// plain C++; the Python module installs its own.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace mew::runtime {

// Writes one line (without its line break) where the host shows messages.
// Control characters in it are escaped first (see printable), so bytes from
// the line can neither forge a second line nor drive the terminal. Never
// throws.
void print_line(const std::string &line);
// The text with every control character written as the host's repr() would
// write it ("\n", "\x1b"), except a CR that ends it: frames are printed with
// their terminator, as they always were.
std::string printable(std::string_view text);
using Printer = void (*)(const std::string &line);
void set_printer(Printer printer);

struct ErrorInfo {
    bool io_error = false;   // an input/output error, as opposed to any other
    std::string type_name;   // the error's type, as the host names it
    std::string message;     // the error's message, as the host prints it
    bool interrupt = false;  // the host asks to stop (Ctrl-C, exit): never swallowed
};
// Describes the exception. Never throws.
ErrorInfo describe(std::exception_ptr error);
using Describer = bool (*)(std::exception_ptr error, ErrorInfo &info);
// A host describer is asked first and returns false for errors it does not know.
void set_describer(Describer describer);

// Tracing: what stations record of their traffic and their troubles for
// the host's log, in addition to the lines they print. Two levels, each a
// bit of one atomic word that the host sets whenever its log's levels
// change: a station looks at the bit (one relaxed load) before it builds
// anything, so a level that is off costs a load and a branch per frame.
enum TraceLevel : unsigned {
    kTraceFrames = 1u,    // every frame sent and received
    kTraceWarnings = 2u,  // errors met: time-outs, dropped frames, lost connections
};
enum class TraceEvent { kSent, kReceived, kWarning };
// What a record is about: the frame (with its CR) or the warning's text.
// `source` is the station (a mew::MewBase) the record comes from, or null.
using Tracer = void (*)(TraceEvent event, const void *source, std::string_view text);
void set_tracer(Tracer tracer);
void set_trace_levels(unsigned levels);
unsigned trace_levels();

namespace detail {
extern std::atomic<unsigned> g_trace_levels;
void emit_trace(TraceEvent event, const void *source, std::string_view text) noexcept;
void emit_trace(TraceEvent event, const void *source, std::string_view head, std::string_view tail) noexcept;
}  // namespace detail

constexpr unsigned trace_level(TraceEvent event) {
    return event == TraceEvent::kWarning ? kTraceWarnings : kTraceFrames;
}
// Whether records of this level go anywhere now. Built with MEW_NO_TRACE,
// never: the trace calls compile to nothing, for measuring what they cost.
inline bool tracing([[maybe_unused]] unsigned level) {
#ifdef MEW_NO_TRACE
    return false;
#else
    return (detail::g_trace_levels.load(std::memory_order_relaxed) & level) != 0;
#endif
}
// Hands the record to the host's tracer when its level is on. Never throws.
inline void trace(TraceEvent event, const void *source, std::string_view text) noexcept {
    if (tracing(trace_level(event))) detail::emit_trace(event, source, text);
}
// The same with the text in two pieces, joined only when the record is made.
inline void trace(TraceEvent event, const void *source, std::string_view head,
                  std::string_view tail) noexcept {
    if (tracing(trace_level(event))) detail::emit_trace(event, source, head, tail);
}

// A wait longer than this is a wait without limit (see wait_seconds).
constexpr double kLongestWait = 1e9;
// Negative: without limit, as the library's time-outs are given.
inline bool unbounded(double seconds) {
    return seconds < 0 || seconds > kLongestWait;
}

// A long wait is cut into slices of this length; between two slices the
// host may run its signal handlers (Ctrl-C) and look at what else it needs.
constexpr double kWaitSlice = 0.05;
// Lets the host handle what arrived while a thread waited, such as a signal
// for its main thread; throws what the host's handler raised. Called with
// no lock of the waiter's held.
void check_interrupt();
using InterruptCheck = void (*)();
void set_interrupt_check(InterruptCheck check);
bool has_interrupt_check();

// The process an object was made in. After fork() the child has only the
// forking thread, and every lock that another thread held stays locked
// there: objects with threads, locks and descriptors ask this before they
// wait for threads, take locks or wake anything shared with the parent.
// Asking costs no system call: a fork handler counts the forks that made
// this process, and an object remembers the count it was made under.
class ProcessOwner {
public:
    ProcessOwner();
    bool foreign() const;

private:
    unsigned generation_;
};

// A background thread of a station: created, then started, then joined.
class WorkerThread {
public:
    virtual ~WorkerThread() = default;
    virtual void start() = 0;
    // Waits for the thread's end; returns at once when it was never started
    // or when called from the thread itself.
    virtual void join() = 0;
};

// The plain C++ thread.
std::unique_ptr<WorkerThread> make_std_thread(std::function<void()> body);

// Waits on `cv` until `ready()` holds, at most `seconds` (negative: without
// limit); true when it holds. The standard waits count in nanoseconds, and a
// longer time-out overflows that count into one that has already passed, so
// anything beyond a few decades waits without limit; NaN does not wait.
// The wait goes in slices, with check_interrupt() between them (the lock
// released meanwhile): what it throws ends the wait. A wake-up still ends
// the wait at once, so the slices cost nothing on a healthy line.
// `interruptible` false: no check, for waits that must not throw (in
// destructors, and bookkeeping that is over in a moment).
template <class Ready>
bool wait_seconds(std::condition_variable &cv, std::unique_lock<std::mutex> &lock, double seconds,
                  Ready ready, bool interruptible = true) {
    using clock = std::chrono::steady_clock;
    // Most waits find what they wait for there already: no clock for them.
    if (ready()) return true;
    const bool forever = unbounded(seconds);
    if (!forever && !(seconds >= 0)) seconds = 0;
    const bool sliced = interruptible && has_interrupt_check();
    if (!sliced && forever) {
        cv.wait(lock, ready);
        return true;
    }
    if (!sliced) return cv.wait_for(lock, std::chrono::duration<double>(seconds), ready);
    const auto deadline = clock::now() + std::chrono::duration<double>(forever ? 0.0 : seconds);
    for (;;) {
        double slice = kWaitSlice;
        if (!forever) {
            double left = std::chrono::duration<double>(deadline - clock::now()).count();
            if (left <= 0) return ready();
            if (left < slice) slice = left;
        }
        if (cv.wait_for(lock, std::chrono::duration<double>(slice), ready)) return true;
        lock.unlock();
        check_interrupt();
        lock.lock();
    }
}

}  // namespace mew::runtime
