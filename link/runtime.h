// What the link engine needs from its host: a place for its one-line
// messages, a way to tell what an error was, and threads. The defaults are
// plain C++; the Python module installs its own.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <string>

namespace mew::runtime {

// Writes one line (without its line break) where the host shows messages.
// Never throws.
void print_line(const std::string &line);
using Printer = void (*)(const std::string &line);
void set_printer(Printer printer);

struct ErrorInfo {
    bool io_error = false;  // an input/output error, as opposed to any other
    std::string type_name;  // the error's type, as the host names it
    std::string message;    // the error's message, as the host prints it
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

}  // namespace mew::runtime
