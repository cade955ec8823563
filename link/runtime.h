// What the link engine needs from its host: a place for its one-line
// messages, a way to tell what an error was, and threads. The defaults are
// plain C++; the Python module installs its own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace mew::runtime {

// Writes one line (without its line break) where the host shows messages.
// Never throws.
void print_line(const std::string &line);
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
template <class Ready>
bool wait_seconds(std::condition_variable &cv, std::unique_lock<std::mutex> &lock, double seconds,
                  Ready ready) {
    constexpr double kLongest = 1e9;
    if (seconds < 0 || seconds > kLongest) {
        cv.wait(lock, ready);
        return true;
    }
    if (!(seconds >= 0)) seconds = 0;
    return cv.wait_for(lock, std::chrono::duration<double>(seconds), ready);
}

}  // namespace mew::runtime
