#include "base/runtime.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>

#include <pthread.h>

#include "base/errors.h"

namespace mew::runtime {

namespace {

std::atomic<Printer> g_printer{nullptr};
std::atomic<Describer> g_describer{nullptr};
std::atomic<InterruptCheck> g_interrupt_check{nullptr};
std::atomic<Tracer> g_tracer{nullptr};

void escape(std::string &out, unsigned code) {
    switch (code) {
        case '\t':
            out += "\\t";
            return;
        case '\n':
            out += "\\n";
            return;
        case '\r':
            out += "\\r";
            return;
        default:
            break;
    }
    constexpr char kHex[] = "0123456789abcdef";
    out += "\\x";
    out += kHex[(code >> 4) & 15];
    out += kHex[code & 15];
}

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
        // A forked child has no such thread, only its handle: joining it
        // there would wait for ever.
        if (owner_.foreign()) return;
        std::lock_guard<std::mutex> lock(join_mutex_);
        if (thread_.joinable()) thread_.join();
    }

private:
    ProcessOwner owner_;
    std::function<void()> body_;
    std::thread thread_;
    std::thread::id id_;  // set before any other thread can join
    std::mutex join_mutex_;
};

}  // namespace

void set_printer(Printer printer) {
    g_printer = printer;
}

std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) {
            if (c == '\r' && i + 1 == text.size())
                out += '\r';
            else
                escape(out, c);
        } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xA0 &&
                   static_cast<unsigned char>(text[i + 1]) >= 0x80) {
            // U+0080..U+009F: the C1 controls, which terminals obey as well.
            escape(out, static_cast<unsigned char>(text[++i]));
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

void print_line(const std::string &raw) {
    const std::string line = printable(raw);
    if (Printer p = g_printer.load()) {
        p(line);
        return;
    }
    std::fprintf(stdout, "%s\n", line.c_str());
    std::fflush(stdout);
}

namespace detail {
std::atomic<unsigned> g_trace_levels{0};

void emit_trace(TraceEvent event, const void *source, std::string_view text) noexcept {
    Tracer t = g_tracer.load();
    if (!t) return;
    try {
        t(event, source, text);
    } catch (...) {
        // A record lost is better than a thread ended.
    }
}

void emit_trace(TraceEvent event, const void *source, std::string_view head, std::string_view tail) noexcept {
    try {
        std::string text;
        text.reserve(head.size() + tail.size());
        text.append(head).append(tail);
        emit_trace(event, source, text);
    } catch (...) {
    }
}
}  // namespace detail

void set_tracer(Tracer tracer) {
    g_tracer = tracer;
}

void set_trace_levels(unsigned levels) {
    detail::g_trace_levels.store(levels, std::memory_order_relaxed);
}

unsigned trace_levels() {
    return detail::g_trace_levels.load(std::memory_order_relaxed);
}

void set_interrupt_check(InterruptCheck check) {
    g_interrupt_check = check;
}

bool has_interrupt_check() {
    return g_interrupt_check.load() != nullptr;
}

void check_interrupt() {
    if (InterruptCheck check = g_interrupt_check.load()) check();
}

namespace {

std::atomic<unsigned> g_fork_generation{0};

void count_fork_in_child() {
    g_fork_generation.fetch_add(1, std::memory_order_relaxed);
}

// Registered when the library is loaded, before anything can fork.
const int g_fork_handler = ::pthread_atfork(nullptr, nullptr, &count_fork_in_child);

}  // namespace

ProcessOwner::ProcessOwner() : generation_(g_fork_generation.load(std::memory_order_relaxed)) {
    (void)g_fork_handler;
}

bool ProcessOwner::foreign() const {
    return g_fork_generation.load(std::memory_order_relaxed) != generation_;
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
