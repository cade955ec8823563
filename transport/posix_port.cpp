#include "transport/posix_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>

#include "base/errors.h"

namespace mew {

namespace {

std::string errno_text(const char *what, int err) {
    return std::string(what) + " failed: [Errno " + std::to_string(err) + "] " + std::strerror(err);
}

// The descriptor calls of every frame, made straight to the kernel on
// Linux: the C library's wrappers enter and leave thread cancellation
// around each call, which costs more than the call's own code, and the
// library never cancels a thread. Sanitizer builds keep the wrappers, which
// the sanitizers watch.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define MEW_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define MEW_SANITIZED 1
#endif
#endif
#if defined(__linux__) && defined(SYS_poll) && !defined(MEW_SANITIZED)
int poll_fds(pollfd *fds, nfds_t n, int ms) {
    return static_cast<int>(::syscall(SYS_poll, fds, n, ms));
}
ssize_t read_fd(int fd, void *buf, std::size_t n) {
    return static_cast<ssize_t>(::syscall(SYS_read, fd, buf, n));
}
ssize_t write_fd(int fd, const void *buf, std::size_t n) {
    return static_cast<ssize_t>(::syscall(SYS_write, fd, buf, n));
}
#else
int poll_fds(pollfd *fds, nfds_t n, int ms) {
    return ::poll(fds, n, ms);
}
ssize_t read_fd(int fd, void *buf, std::size_t n) {
    return ::read(fd, buf, n);
}
ssize_t write_fd(int fd, const void *buf, std::size_t n) {
    return ::write(fd, buf, n);
}
#endif

// A slice of a long wait (see wait()), in poll()'s unit.
constexpr int kSliceMs = static_cast<int>(runtime::kWaitSlice * 1000);

int poll_ms(double timeout) {
    if (timeout < 0 || std::isinf(timeout)) return -1;
    double ms = std::ceil(timeout * 1000.0);
    return ms > 2e9 ? 2000000000 : static_cast<int>(ms);
}

}  // namespace

PosixPort::PosixPort(int fd) : fd_(fd) {
    if (::pipe2(wake_, O_CLOEXEC) != 0) throw SerialError(errno_text("pipe", errno));
    if (::pipe2(interrupt_, O_CLOEXEC | O_NONBLOCK) != 0) {
        int err = errno;
        for (int w : wake_) ::close(w);
        throw SerialError(errno_text("pipe", err));
    }
}

PosixPort::~PosixPort() {
    shutdown();
    for (int w : wake_)
        if (w >= 0) ::close(w);
    for (int w : interrupt_)
        if (w >= 0) ::close(w);
}

void PosixPort::interrupt() {
    // A child's write would wake the parent's reader; without a reader
    // waiting, a wake would only cut the next read short.
    if (owner_.foreign() || closed_ || readers_.load() == 0) return;
    char b = 1;
    [[maybe_unused]] ssize_t n = ::write(interrupt_[1], &b, 1);
}

void PosixPort::clear_interrupts() {
    if (owner_.foreign()) return;
    char buf[64];
    while (::read(interrupt_[0], buf, sizeof buf) > 0) {
    }
}

void PosixPort::shutdown() {
    if (closed_.exchange(true)) return;
    // In a forked child the wake-up pipe is the parent's too, and the
    // parent's receiver may have held the read lock at the fork.
    if (owner_.foreign()) return;
    char b = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_[1], &b, 1);
    // Every reader and writer leaves its call before the descriptor can go.
    std::lock_guard<QuickMutex> r(read_mutex_);
    std::lock_guard<QuickMutex> w(write_mutex_);
}

bool PosixPort::wait(short events, double timeout, bool interruptible) {
    using clock = std::chrono::steady_clock;
    const bool forever = timeout < 0 || std::isinf(timeout);
    // The clock is read only once the first poll has come back without
    // what it waited for: a wait that ends with its first poll (an answer
    // coming in) reads none. That poll counts as waited when it ran out; a
    // signal that cut it short makes the wait run over by as much, never
    // end early.
    std::chrono::time_point<clock, std::chrono::duration<double, clock::period>> deadline{};
    bool dated = false;
    // In slices, so that the host can run a signal handler meanwhile.
    const bool sliced = runtime::has_interrupt_check();
    struct Waiting {
        std::atomic<int> &count;
        bool counted;
        Waiting(std::atomic<int> &c, bool on) : count(c), counted(on) {
            if (counted) ++count;
        }
        ~Waiting() {
            if (counted) --count;
        }
    } waiting(readers_, events == POLLIN && interruptible);
    // Only a wait for input can be interrupted: a write goes on. poll()
    // sets every revents itself.
    pollfd fds[3] = {{fd_, events, 0}, {wake_[0], POLLIN, 0}, {interrupt_[0], POLLIN, 0}};
    const nfds_t watched = waiting.counted ? 3 : 2;
    double left = timeout;
    for (;;) {
        if (closed_) throw PortClosedError();
        const int ms = sliced && (forever || left > runtime::kWaitSlice) ? kSliceMs : poll_ms(left);
        const int rc = poll_fds(fds, watched, ms);
        if (rc < 0) {
            if (errno != EINTR) throw SerialError(errno_text("poll", errno));
        } else {
            if (closed_ || fds[1].revents) throw PortClosedError();
            if (rc > 0) {
                if (fds[0].revents & POLLNVAL) throw PortClosedError();
                const bool woken = watched == 3 && fds[2].revents;
                if (woken) clear_interrupts();
                // Bytes that came are read all the same.
                if (fds[0].revents) return true;
                if (woken) return false;
            }
        }
        if (!forever) {
            if (dated) {
                left = std::chrono::duration<double>(deadline - clock::now()).count();
            } else {
                if (rc == 0) left -= ms / 1000.0;
                deadline = clock::now() + std::chrono::duration<double>(left);
                dated = true;
            }
            if (left < 0) left = 0;
        }
        // An interrupted poll looks once more, at once.
        if (rc < 0) continue;
        if (!forever && left <= 0) return false;
        runtime::check_interrupt();
    }
}

std::size_t PosixPort::read_some(char *into, std::size_t max, double timeout) {
    return read_some(into, max, timeout, true);
}

std::size_t PosixPort::read_some_quietly(char *into, std::size_t max, double timeout) {
    return read_some(into, max, timeout, false);
}

std::size_t PosixPort::read_some(char *into, std::size_t max, double timeout, bool interruptible) {
    std::lock_guard<QuickMutex> lock(read_mutex_);
    for (;;) {
        if (!wait(POLLIN, timeout, interruptible)) return 0;
        ssize_t n = read_fd(fd_, into, max);
        if (n > 0) return static_cast<std::size_t>(n);
        if (n == 0)
            throw SerialError(
                "device reports readiness to read but returned no data "
                "(device disconnected or multiple access on port?)");
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
        throw SerialError(errno_text("read", errno));
    }
}

void PosixPort::write(std::string_view bytes) {
    std::lock_guard<QuickMutex> lock(write_mutex_);
    // A frame nearly always goes in one call: the loop is for the rest, and
    // for what went wrong (it tries again and tells).
    if (!bytes.empty() && !closed_) {
        const ssize_t n = write_fd(fd_, bytes.data(), bytes.size());
        if (n == static_cast<ssize_t>(bytes.size())) return;
        if (n > 0) bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    write_rest(bytes);
}

void PosixPort::write_rest(std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        if (closed_) throw PortClosedError();
        ssize_t n = write_fd(fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) throw SerialError(errno_text("write", errno));
        wait(POLLOUT, -1);
    }
}

}  // namespace mew
