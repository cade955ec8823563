#include "link/runtime.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>

#include "codec/errors.h"

namespace mew::runtime {

namespace {

std::atomic<Printer> g_printer{nullptr};
std::atomic<Describer> g_describer{nullptr};

class StdThread : public WorkerThread {
public:
    explicit StdThread(std::function<void()> body) : body_(std::move(body)) {}
    ~StdThread() override {
        join();
        // Only the thread itself can be left: a std::thread destroyed while
        // joinable ends the process.
        if (thread_.joinable()) thread_.detach();
    }
    void start() override {
        thread_ = std::thread(body_);
        id_ = thread_.get_id();
    }
    // Several threads may stop a station at once; std::thread::join from
    // two of them at the same time is undefined, so they take turns, and
    // the later ones find the thread already joined.
    void join() override {
        if (id_ == std::this_thread::get_id()) return;
        std::lock_guard<std::mutex> lock(join_mutex_);
        if (thread_.joinable()) thread_.join();
    }

private:
    std::function<void()> body_;
    std::thread thread_;
    std::thread::id id_;  // set before any other thread can join
    std::mutex join_mutex_;
};

}  // namespace

void set_printer(Printer printer) {
    g_printer = printer;
}

void print_line(const std::string &line) {
    if (Printer p = g_printer.load()) {
        p(line);
        return;
    }
    std::fprintf(stdout, "%s\n", line.c_str());
    std::fflush(stdout);
}

void set_describer(Describer describer) {
    g_describer = describer;
}

ErrorInfo describe(std::exception_ptr error) {
    ErrorInfo info;
    try {
        if (Describer d = g_describer.load())
            if (d(error, info)) return info;
        std::rethrow_exception(error);
    } catch (const IOError &e) {
        info = {true, "OSError", e.what()};
    } catch (const AssertionFailure &) {
        info = {false, "AssertionError", ""};
    } catch (const IndexError &e) {
        info = {false, "IndexError", e.what()};
    } catch (const ValueError &e) {
        info = {false, "ValueError", e.what()};
    } catch (const TypeError &e) {
        info = {false, "TypeError", e.what()};
    } catch (const std::exception &e) {
        info = {false, "Exception", e.what()};
    } catch (...) {
        info = {false, "Exception", "unknown error"};
    }
    return info;
}

std::unique_ptr<WorkerThread> make_std_thread(std::function<void()> body) {
    return std::make_unique<StdThread>(std::move(body));
}

}  // namespace mew::runtime
