#include "transport/tcp_channel.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

#include "base/errors.h"

namespace mew {

namespace {

std::string errno_text(int err) {
    return "[Errno " + std::to_string(err) + "] " + std::strerror(err);
}

int poll_ms(double timeout) {
    if (timeout < 0 || std::isinf(timeout)) return -1;
    double ms = std::ceil(timeout * 1000.0);
    return ms > 2e9 ? 2000000000 : static_cast<int>(ms);
}

bool unlimited(double timeout) {
    return timeout < 0 || std::isinf(timeout);
}

// The connection that the reader's bytes came over was dropped and another
// one made before the reader noticed: what it holds must go. Never leaves
// the channel.
struct StaleInput {};

// A descriptor closed on every way out unless released.
class FdGuard {
public:
    explicit FdGuard(int fd) : fd_(fd) {}
    ~FdGuard() {
        if (fd_ >= 0) ::close(fd_);
    }
    FdGuard(const FdGuard &) = delete;
    FdGuard &operator=(const FdGuard &) = delete;
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

bool starts_with_nocase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
    return true;
}

// The name as the host's repr() would show it, quotes included, so that a
// control character in it shows as an escape rather than acting.
std::string text_repr(std::string_view name) {
    std::string out = "'";
    for (unsigned char c : name) {
        if (c == '\\' || c == '\'') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "'";
}

bool has_control(std::string_view text) {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return std::iscntrl(static_cast<unsigned char>(c)); });
}

}  // namespace

std::optional<TcpAddress> parse_tcp_url(std::string_view name) {
    std::string_view rest;
    for (std::string_view scheme : {"tcp://", "socket://"})
        if (starts_with_nocase(name, scheme)) rest = name.substr(scheme.size());
    if (rest.data() == nullptr) return std::nullopt;
    // The resolver reads a name up to its first NUL: "127.0.0.1\0evil"
    // would reach another host than the one shown.
    if (has_control(name)) throw ValueError("invalid TCP address " + text_repr(name) + ": control character");
    auto bad = [&](const std::string &why) {
        return ValueError("invalid TCP address '" + std::string(name) + "': " + why +
                          " (expected tcp://host:port)");
    };
    TcpAddress address;
    std::string_view port;
    if (!rest.empty() && rest.front() == '[') {
        std::size_t close = rest.find(']');
        if (close == std::string_view::npos) throw bad("unclosed '['");
        address.host = std::string(rest.substr(1, close - 1));
        std::string_view after = rest.substr(close + 1);
        if (after.empty() || after.front() != ':') throw bad("no port");
        port = after.substr(1);
    } else {
        std::size_t colon = rest.rfind(':');
        if (colon == std::string_view::npos) throw bad("no port");
        address.host = std::string(rest.substr(0, colon));
        port = rest.substr(colon + 1);
        if (address.host.find(':') != std::string::npos) throw bad("an IPv6 address goes in brackets");
    }
    if (address.host.empty()) throw bad("no host");
    for (char c : address.host)
        if (std::isspace(static_cast<unsigned char>(c)) || c == '/' || c == '?' || c == '@')
            throw bad("bad host name");
    if (port.empty()) throw bad("no port");
    int number = 0;
    for (char c : port) {
        if (c < '0' || c > '9') throw bad("port is not a number");
        number = std::min(number * 10 + (c - '0'), 100000);
    }
    if (number < 1 || number > 65535) throw bad("port must be 1..65535");
    address.port = number;
    return address;
}

// One connection. The descriptor stays open for as long as anyone holds
// the connection, so that a reader polling it never finds another socket
// under its number; a drop shuts it down, which wakes that reader.
struct TcpChannel::Connection {
    Connection(int fd_, std::uint64_t generation_) : fd(fd_), generation(generation_) {}
    ~Connection() { ::close(fd); }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;
    const int fd;
    const std::uint64_t generation;
    bool dropped = false;  // under the state lock, as the message
    std::string lost_message;
};

TcpChannel::Pipe::Pipe(int flags) {
    if (::pipe2(fds, O_CLOEXEC | flags) != 0) throw IOError("pipe failed: " + errno_text(errno));
}

TcpChannel::Pipe::~Pipe() {
    for (int fd : fds)
        if (fd >= 0) ::close(fd);
}

TcpChannel::TcpChannel(std::string host, int port, TcpSettings settings)
    : host_(std::move(host)),
      port_(port),
      settings_(settings),
      backoff_(settings.first_backoff),
      reader_(source_, settings.timeout) {
    if (port_ < 1 || port_ > 65535)
        throw ValueError("TCP port must be 1..65535, not " + std::to_string(port_));
    if (host_.empty()) throw ValueError("TCP host name is empty");
    if (has_control(host_)) throw ValueError("TCP host name has a control character: " + text_repr(host_));
    std::string error;
    int fd = open_socket(error, settings_.connect_timeout);
    if (fd < 0) throw IOError("cannot connect to " + address() + ": " + error);
    connection_ = std::make_shared<Connection>(fd, ++generation_);
}

TcpChannel::~TcpChannel() {
    try {
        close();
    } catch (...) {
    }
}

std::string TcpChannel::address() const {
    if (host_.find(':') != std::string::npos) return "[" + host_ + "]:" + std::to_string(port_);
    return host_ + ":" + std::to_string(port_);
}

bool TcpChannel::connected() const {
    return current() != nullptr;
}

double TcpChannel::backoff_left() const {
    std::lock_guard<std::mutex> lock(state_mutex_);
    if (connection_) return 0;
    return std::max(0.0, std::chrono::duration<double>(next_attempt_ - Clock::now()).count());
}

double TcpChannel::backoff_pause() const {
    std::lock_guard<std::mutex> lock(state_mutex_);
    return pause_;
}

std::shared_ptr<TcpChannel::Connection> TcpChannel::current() const {
    std::lock_guard<std::mutex> lock(state_mutex_);
    return connection_;
}

bool TcpChannel::wait(int fd, short events, double timeout) {
    const bool forever = unlimited(timeout);
    const auto deadline = Clock::now() + std::chrono::duration<double>(forever ? 0 : timeout);
    for (;;) {
        if (closed_) throw PortClosedError();
        // Only a wait for input can be interrupted: a write goes on.
        pollfd fds[3] = {{fd, events, 0}, {wake_.fds[0], POLLIN, 0}, {interrupt_.fds[0], POLLIN, 0}};
        const nfds_t watched = events == POLLIN ? 3 : 2;
        double left = forever ? -1 : std::chrono::duration<double>(deadline - Clock::now()).count();
        if (!forever && left < 0) left = 0;
        // In slices, so that the host can run a signal handler meanwhile.
        double slice = runtime::has_interrupt_check() && (forever || left > runtime::kWaitSlice)
                           ? runtime::kWaitSlice
                           : left;
        int rc = ::poll(fds, watched, poll_ms(slice));
        if (rc < 0) {
            if (errno == EINTR) continue;
            throw IOError("poll failed: " + errno_text(errno));
        }
        if (closed_ || fds[1].revents) throw PortClosedError();
        const bool woken = watched == 3 && fds[2].revents && take_interrupt();
        // Bytes that came are read all the same.
        if (fds[0].revents) return true;
        if (woken) return false;
        if (!forever && Clock::now() >= deadline) return false;
        runtime::check_interrupt();
    }
}

int TcpChannel::open_socket(std::string &error, double timeout) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *found = nullptr;
    const std::string service = std::to_string(port_);
    int rc = ::getaddrinfo(host_.c_str(), service.c_str(), &hints, &found);
    if (rc != 0) {
        error =
            rc == EAI_SYSTEM ? errno_text(errno) : "[Errno " + std::to_string(rc) + "] " + gai_strerror(rc);
        return -1;
    }
    std::unique_ptr<addrinfo, void (*)(addrinfo *)> addresses(found, &::freeaddrinfo);
    error.clear();
    // Each address in turn, each with the whole time-out; the first
    // failure is the one reported.
    auto failed = [&error](const std::string &why) {
        if (error.empty()) error = why;
    };
    for (addrinfo *a = found; a; a = a->ai_next) {
        int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            failed(errno_text(errno));
            continue;
        }
        FdGuard guard(fd);
        if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            if (errno != EINPROGRESS && errno != EINTR) {
                failed(errno_text(errno));
                continue;
            }
            if (!wait(fd, POLLOUT, timeout)) {
                failed(errno_text(ETIMEDOUT));
                continue;
            }
            int err = 0;
            socklen_t len = sizeof err;
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
            if (err != 0) {
                failed(errno_text(err));
                continue;
            }
        }
        // Frames are short and each one is awaited: none may wait for more.
        int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
        return guard.release();
    }
    if (error.empty()) error = errno_text(EADDRNOTAVAIL);
    return -1;
}

std::shared_ptr<TcpChannel::Connection> TcpChannel::reconnect(double timeout) {
    {
        std::lock_guard<std::mutex> lock(state_mutex_);
        double left = std::chrono::duration<double>(next_attempt_ - Clock::now()).count();
        if (left > 0) {
            char next[32];
            std::snprintf(next, sizeof next, "%.1f", std::max(left, 0.1));
            throw IOError("not connected to " + address() + " (next attempt in " + next +
                          " s): " + last_error_);
        }
    }
    std::string error;
    const double limit = settings_.connect_timeout;
    if (timeout < 0 || (!unlimited(limit) && limit < timeout)) timeout = limit;
    int fd = open_socket(error, timeout);
    FdGuard guard(fd);
    std::lock_guard<std::mutex> lock(state_mutex_);
    if (fd < 0) {
        last_error_ = error;
        pause_ = std::max(backoff_, 0.0);
        next_attempt_ =
            Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(pause_));
        backoff_ = std::min(backoff_ * 2, settings_.longest_backoff);
        throw IOError("cannot connect to " + address() + ": " + error);
    }
    if (closed_) throw PortClosedError();
    backoff_ = settings_.first_backoff;
    pause_ = 0;
    next_attempt_ = {};
    // A drop no read has reported yet concerned the last connection, and
    // whoever waited on it has heard of it from its failed send.
    lost_.reset();
    connection_ = std::make_shared<Connection>(guard.release(), ++generation_);
    state_cv_.notify_all();
    return connection_;
}

std::uint64_t TcpChannel::latest() const {
    std::lock_guard<std::mutex> lock(state_mutex_);
    return generation_;
}

std::uint64_t TcpChannel::abandon() {
    std::shared_ptr<Connection> c = current();
    if (!c) return 0;
    drop(c, "dropped after an exchange without its answer", false);
    return c->generation;
}

void TcpChannel::connect(double timeout) {
    if (closed_) throw PortClosedError();
    std::lock_guard<QuickMutex> lock(write_mutex_);
    if (closed_) throw PortClosedError();
    if (!current()) reconnect(timeout);
}

std::string TcpChannel::drop(const std::shared_ptr<Connection> &c, const std::string &reason, bool report) {
    std::lock_guard<std::mutex> lock(state_mutex_);
    if (c->dropped) return c->lost_message;
    c->dropped = true;
    c->lost_message = "connection to " + address() + " lost: " + reason;
    // A connection is only ever replaced after its drop.
    if (connection_ == c) connection_.reset();
    if (!closed_ && report) {
        lost_ = c->lost_message;
        lost_connection_ = c->generation;
    }
    // Wakes a reader polling it; the descriptor goes with the last holder.
    ::shutdown(c->fd, SHUT_RDWR);
    state_cv_.notify_all();
    return c->lost_message;
}

void TcpChannel::send_frame(std::string_view data) {
    if (closed_) throw PortClosedError();
    std::lock_guard<QuickMutex> lock(write_mutex_);
    if (closed_) throw PortClosedError();
    std::shared_ptr<Connection> c = current();
    if (!c) c = reconnect();
    std::size_t done = 0;
    while (done < data.size()) {
        if (closed_) throw PortClosedError();
        ssize_t n = ::send(c->fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!wait(c->fd, POLLOUT, settings_.connect_timeout))
                throw ConnectionLost(drop(c, "the peer takes no data"), c->generation);
            continue;
        }
        throw ConnectionLost(drop(c, n < 0 ? errno_text(errno) : "send failed"), c->generation);
    }
}

std::size_t TcpChannel::fill(char *into, std::size_t max, double timeout) {
    struct Waiting {
        std::atomic<int> &count;
        explicit Waiting(std::atomic<int> &c) : count(c) { ++count; }
        ~Waiting() { --count; }
    } waiting(readers_);
    const bool forever = unlimited(timeout);
    const auto deadline = Clock::now() + std::chrono::duration<double>(forever ? 0 : timeout);
    auto left = [&] {
        return forever ? -1.0 : std::max(0.0, std::chrono::duration<double>(deadline - Clock::now()).count());
    };
    for (;;) {
        if (closed_) throw PortClosedError();
        std::shared_ptr<Connection> c;
        {
            std::unique_lock<std::mutex> lock(state_mutex_);
            if (lost_) {
                std::string message = std::move(*lost_);
                lost_.reset();
                throw ConnectionLost(message, lost_connection_);
            }
            if (!connection_) {
                // Nothing comes until a send connects again.
                if (!runtime::wait_seconds(state_cv_, lock, left(), [this] {
                        return connection_ || closed_ || lost_ || interrupted_;
                    }))
                    return 0;
                if (interrupted_ && !connection_ && !lost_) {
                    lock.unlock();
                    take_interrupt();
                    return 0;
                }
                continue;
            }
            c = connection_;
        }
        if (c->generation != buffer_generation_) {
            if (buffer_generation_ != 0) throw StaleInput();
            buffer_generation_ = c->generation;
        }
        if (!wait(c->fd, POLLIN, left())) return 0;
        ssize_t n = ::recv(c->fd, into, max, 0);
        if (n > 0) {
            // Bytes of a connection dropped meanwhile belong to nobody: once
            // abandon() has returned, none of them is read.
            std::lock_guard<std::mutex> lock(state_mutex_);
            if (c->dropped) continue;
            return static_cast<std::size_t>(n);
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        // The next round reports it, or finds a newer connection.
        drop(c, n == 0 ? "closed by the peer" : errno_text(errno));
    }
}

void TcpChannel::check_input() {
    std::optional<std::string> lost;
    std::uint64_t now = 0, lost_connection = 0;
    {
        std::lock_guard<std::mutex> lock(state_mutex_);
        if (connection_) now = connection_->generation;
        lost.swap(lost_);
        lost_connection = lost_connection_;
    }
    if (buffer_generation_ != 0 && buffer_generation_ != now) {
        reader_.discard();
        buffer_generation_ = 0;
    }
    if (lost) throw ConnectionLost(*lost, lost_connection);
}

template <class Read>
std::string TcpChannel::reading(Read read, const std::atomic<bool> &whole_frame) {
    if (closed_) throw PortClosedError();
    std::lock_guard<QuickMutex> lock(read_mutex_);
    check_input();
    try {
        std::string got = read();
        if (!got.empty() && buffer_generation_ != 0) last_read_ = buffer_generation_;
        return got;
    } catch (const ConnectionLost &) {
        reader_.discard();
        buffer_generation_ = 0;
        throw;
    } catch (const StaleInput &) {
        reader_.discard();
        buffer_generation_ = 0;
        // A frame that broke off with its connection, as on a serial line.
        if (whole_frame.load(std::memory_order_relaxed))
            throw IOError("Error: device response format invalid.");
        return std::string();
    }
}

namespace {
const std::atomic<bool> kPart{false};
const std::atomic<bool> kFrame{true};
}  // namespace

std::string TcpChannel::read(std::int64_t size) {
    return reading([&] { return reader_.read(size); }, kPart);
}

std::string TcpChannel::read_one() {
    return reading([&] { return reader_.read(1); }, kPart);
}

std::string TcpChannel::receive_frame() {
    return reading([&] { return reader_.receive_frame(); }, kFrame);
}

std::string TcpChannel::read_frame(std::atomic<bool> &started) {
    return reading([&] { return reader_.read_frame(started); }, started);
}

std::string TcpChannel::read_frame_within(std::atomic<bool> &started, double timeout) {
    return reading([&] { return reader_.read_frame(started, timeout); }, started);
}

std::int64_t TcpChannel::in_waiting() {
    auto waiting = static_cast<std::int64_t>(reader_.buffered());
    if (std::shared_ptr<Connection> c = current()) {
        int pending = 0;
        if (::ioctl(c->fd, FIONREAD, &pending) == 0) waiting += pending;
    }
    return waiting;
}

void TcpChannel::wake_reader() {
    // A child's write would wake the parent's reader; without a reader
    // waiting, a wake would only cut the next read short.
    if (owner_.foreign() || closed_ || readers_.load() == 0) return;
    {
        std::lock_guard<std::mutex> lock(state_mutex_);
        interrupted_ = true;
    }
    char b = 1;
    [[maybe_unused]] ssize_t n = ::write(interrupt_.fds[1], &b, 1);
    state_cv_.notify_all();
}

bool TcpChannel::take_interrupt() {
    char buf[64];
    while (::read(interrupt_.fds[0], buf, sizeof buf) > 0) {
    }
    return interrupted_.exchange(false);
}

void TcpChannel::flush_input() {
    if (closed_) throw PortClosedError();
    std::lock_guard<QuickMutex> lock(read_mutex_);
    take_interrupt();
    reader_.discard();
    buffer_generation_ = 0;
    std::shared_ptr<Connection> c = current();
    if (!c) return;
    char buf[4096];
    for (;;) {
        ssize_t n = ::recv(c->fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) continue;
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) drop(c, "closed by the peer");
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) drop(c, errno_text(errno));
        return;
    }
}

void TcpChannel::close() {
    if (closed_.exchange(true)) return;
    // In a forked child the wake-up pipe and the connection are the
    // parent's too, and the parent's threads may have held the locks.
    if (owner_.foreign()) return;
    char b = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_.fds[1], &b, 1);
    std::shared_ptr<Connection> c;
    {
        std::lock_guard<std::mutex> lock(state_mutex_);
        c = std::move(connection_);
        lost_.reset();
    }
    state_cv_.notify_all();
    if (c) ::shutdown(c->fd, SHUT_RDWR);
    // Every reader and writer leaves its call before the socket can go.
    std::lock_guard<QuickMutex> r(read_mutex_);
    std::lock_guard<QuickMutex> w(write_mutex_);
}

}  // namespace mew
