#include "transport/tcp_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

#include "base/errors.h"
#include "transport/frame_reader.h"

namespace mew {

namespace {

std::string errno_text(int err) {
    return "[Errno " + std::to_string(err) + "] " + std::strerror(err);
}

void set_nonblocking(int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
}

std::string peer_name(const sockaddr_storage &addr) {
    char host[NI_MAXHOST] = "?", serv[NI_MAXSERV] = "?";
    ::getnameinfo(reinterpret_cast<const sockaddr *>(&addr), sizeof addr, host, sizeof host, serv,
                  sizeof serv, NI_NUMERICHOST | NI_NUMERICSERV);
    return std::string(host) + ":" + serv;
}

// A client that closed its side: reported without reading what it left.
#ifdef POLLRDHUP
constexpr short kPeerClosed = POLLRDHUP;
#else
constexpr short kPeerClosed = 0;
#endif

// Where a frame begins: what comes before is noise.
constexpr const char *kHeaders = "%<";

void warn(const std::string &text) {
    runtime::trace(runtime::TraceEvent::kWarning, nullptr, text);
}

}  // namespace

TcpServer::Connection::Connection(TcpServer &server, int fd, std::uint64_t id, std::string peer)
    : server_(server), fd_(fd), id_(id), peer_(std::move(peer)) {}

TcpServer::Connection::~Connection() {
    if (fd_ >= 0) ::close(fd_);
}

void TcpServer::Connection::close() {
    if (!open_.exchange(false)) return;
    // Wakes the server's poll; the descriptor itself goes with the last
    // owner, so nobody can be using a reused number.
    ::shutdown(fd_, SHUT_RDWR);
}

void TcpServer::Connection::flush_locked() {
    while (!out_.empty()) {
        ssize_t n = ::send(fd_, out_.data(), out_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            out_.erase(0, static_cast<std::size_t>(n));
            moved_ = Clock::now();
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        broken_ = true;  // gone: nothing more reaches it
        out_.clear();
        return;
    }
}

void TcpServer::Connection::send(std::string_view frame) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!open_.load() || broken_ || frame.empty()) return;
        const bool idle = out_.empty();
        out_.append(frame);
        if (idle) {
            moved_ = Clock::now();
            flush_locked();
        }
        // What the client did not take now, the server's thread writes as it
        // reads; a failed write is its to report.
        wake = idle && (!out_.empty() || broken_);
    }
    if (wake) server_.wake();
}

void TcpServer::Connection::complete(std::string_view answer) {
    send(answer);
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (in_flight_ > 0) --in_flight_;
        wake = paused_;
        paused_ = false;
    }
    if (wake) server_.wake();
}

TcpServer::TcpServer(const std::string &host, int port, FrameHandler on_frame, CloseHandler on_close,
                     Limits limits)
    : on_frame_(std::move(on_frame)), on_close_(std::move(on_close)), limits_(limits) {
    const std::string where = host + ":" + std::to_string(port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    const std::string service = std::to_string(port);
    int rc = ::getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &found);
    if (rc != 0) throw IOError("cannot listen on " + where + ": " + ::gai_strerror(rc));
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(found, &::freeaddrinfo);
    int err = 0;
    for (addrinfo *a = found; a && listen_fd_ < 0; a = a->ai_next) {
        int fd = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (fd < 0) {
            err = errno;
            continue;
        }
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        // The system's usual backlog: a burst of clients waits to be taken,
        // it does not retry its connects for seconds.
        if (::bind(fd, a->ai_addr, a->ai_addrlen) == 0 && ::listen(fd, SOMAXCONN) == 0) {
            listen_fd_ = fd;
        } else {
            err = errno;
            ::close(fd);
        }
    }
    if (listen_fd_ < 0) throw IOError("cannot listen on " + where + ": " + errno_text(err));
    set_nonblocking(listen_fd_);
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&bound), &len);
    port_ = bound.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port)
                                        : ntohs(reinterpret_cast<sockaddr_in *>(&bound)->sin_port);
    if (::pipe(wake_) != 0) {
        close_listener();
        throw IOError("cannot listen on " + where + ": " + errno_text(errno));
    }
    for (int w : wake_) set_nonblocking(w);
}

TcpServer::~TcpServer() {
    try {
        stop();
    } catch (...) {
    }
    if (owner_.foreign()) return;
    close_listener();
    for (int w : wake_)
        if (w >= 0) ::close(w);
}

std::size_t TcpServer::connections() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_.size();
}

void TcpServer::wake() {
    char b = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_[1], &b, 1);  // full: a wake-up is pending anyway
}

void TcpServer::close_listener() {
    if (listen_fd_ >= 0) ::close(listen_fd_);
    listen_fd_ = -1;
}

void TcpServer::start() {
    if (stopped_.load() || running_.exchange(true)) return;
    thread_ = runtime::make_std_thread([this] { serve(); });
    thread_->start();
}

void TcpServer::stop() {
    if (owner_.foreign() || stopped_.exchange(true)) return;
    if (running_.exchange(false)) {
        wake();
        if (thread_) thread_->join();
    }
    // Released now, not with the object: a master connecting from now on is
    // refused at once instead of waiting for an answer that cannot come, and
    // the address can be listened on again.
    close_listener();
    std::map<int, ConnectionPtr> left;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        left.swap(connections_);
    }
    for (auto &[fd, c] : left) drop(c);
}

void TcpServer::serve() {
    using Clock = Connection::Clock;
    // Nothing may leave the thread.
    try {
        std::vector<pollfd> fds;
        std::vector<ConnectionPtr> polled;
        const auto send_timeout = std::chrono::duration<double>(limits_.send_timeout);
        while (running_.load()) {
            fds.assign({{wake_[0], POLLIN, 0}, {listen_fd_, POLLIN, 0}});
            polled.clear();
            double wait = 1.0;
            const auto now = Clock::now();
            {
                std::lock_guard<std::mutex> lock(mutex_);
                for (auto &[fd, c] : connections_) {
                    short events = kPeerClosed;
                    std::lock_guard<std::mutex> own(c->mutex_);
                    if (!c->out_.empty()) {
                        events |= POLLOUT;
                        wait = std::min(
                            wait, std::chrono::duration<double>(c->moved_ + send_timeout - now).count());
                    } else if (c->in_flight_ < limits_.max_pipelined) {
                        events |= POLLIN;
                        // Commands read before it had to wait go on at once.
                        if (c->pending_.find('\r') != std::string::npos) wait = 0;
                    }
                    c->paused_ = !(events & POLLIN);
                    fds.push_back({fd, events, 0});
                    polled.push_back(c);
                }
            }
            const int wait_ms = static_cast<int>(std::ceil(std::max(wait, 0.0) * 1000));
            if (::poll(fds.data(), fds.size(), wait_ms) < 0) {
                if (errno == EINTR) continue;
                runtime::print_line("TcpServer: poll failed: " + errno_text(errno));
                return;
            }
            if (fds[0].revents) {
                char drain[64];
                while (::read(wake_[0], drain, sizeof drain) > 0) {
                }
            }
            if (!running_.load()) break;
            if (fds[1].revents) accept_all();
            for (std::size_t i = 0; i < polled.size(); ++i) {
                const ConnectionPtr &c = polled[i];
                const short revents = fds[i + 2].revents;
                if (revents & (POLLERR | POLLHUP | kPeerClosed)) {
                    // Closed by the client: its commands still queued and its
                    // answers still to come go with the connection.
                    drop(c);
                    continue;
                }
                if ((revents & POLLIN) && !read_from(c)) {
                    drop(c);
                    continue;
                }
                const char *why = nullptr;
                {
                    std::lock_guard<std::mutex> own(c->mutex_);
                    if (revents & POLLOUT) c->flush_locked();
                    if (c->broken_)
                        why = "";
                    else if (!c->out_.empty() && Clock::now() - c->moved_ >= send_timeout)
                        why = "does not read its answers";
                }
                if (why) {
                    drop(c, *why ? why : nullptr);
                    continue;
                }
                if (!deliver(c)) drop(c, "sent a frame longer than the limit");
            }
        }
    } catch (...) {
        runtime::print_line("TcpServer: ended by " + runtime::describe(std::current_exception()).message);
    }
}

void TcpServer::accept_all() {
    for (;;) {
        sockaddr_storage addr{};
        socklen_t len = sizeof addr;
        int fd = ::accept(listen_fd_, reinterpret_cast<sockaddr *>(&addr), &len);
        if (fd < 0) return;
        set_nonblocking(fd);
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::unique_lock<std::mutex> lock(mutex_);
        if (connections_.size() >= limits_.max_connections) {
            lock.unlock();
            // Closed at once, so the client learns it now rather than by a
            // time-out.
            ::close(fd);
            warn("TcpServer: refused " + peer_name(addr) + ": already " +
                 std::to_string(limits_.max_connections) + " connections, the most it serves");
            continue;
        }
        connections_[fd] = std::make_shared<Connection>(*this, fd, next_id_++, peer_name(addr));
    }
}

bool TcpServer::read_from(const ConnectionPtr &c) {
    char buf[4096];
    ssize_t n = ::recv(c->fd_, buf, sizeof buf, 0);
    if (n == 0) return false;
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    c->pending_.append(buf, static_cast<std::size_t>(n));
    return true;
}

bool TcpServer::deliver(const ConnectionPtr &c) {
    std::string &pending = c->pending_;
    std::size_t start = 0, cr;
    while ((cr = pending.find('\r', start)) != std::string::npos) {
        {
            std::lock_guard<std::mutex> own(c->mutex_);
            if (c->in_flight_ >= limits_.max_pipelined) {
                // The rest waits in the connection until a command is
                // answered, which wakes this thread.
                c->paused_ = true;
                if (!std::exchange(c->pipeline_full_noted_, true))
                    warn("TcpServer: " + c->peer_ + " has " + std::to_string(limits_.max_pipelined) +
                         " commands unanswered, the most it may; its next are read as these are answered");
                break;
            }
        }
        std::string_view frame = std::string_view(pending).substr(start, cr + 1 - start);
        start = cr + 1;
        // Noise in front of a header (the LF of a CR LF ending, a NUL) is cut
        // as on a serial line: it would spoil the command behind it.
        std::size_t head = frame.find_first_of(kHeaders);
        if (head != std::string_view::npos) frame.remove_prefix(head);
        if (frame.size() <= 1) continue;
        {
            std::lock_guard<std::mutex> own(c->mutex_);
            ++c->in_flight_;
        }
        // Bytes as text, one character each, as every byte channel hands them on.
        on_frame_(c, latin1_to_utf8(frame));
    }
    pending.erase(0, start);
    // No frame is this long.
    return pending.find('\r') != std::string::npos || pending.size() <= limits_.max_frame;
}

void TcpServer::drop(const ConnectionPtr &c, const char *why) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = connections_.find(c->fd_);
        if (it != connections_.end() && it->second == c) connections_.erase(it);
    }
    if (why) warn("TcpServer: dropped " + c->peer_ + ": " + why);
    c->close();
    if (on_close_) on_close_(c);
}

}  // namespace mew
