#include "transport/tcp_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
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

}  // namespace

TcpServer::Connection::Connection(int fd, std::uint64_t id, std::string peer, double send_timeout)
    : fd_(fd), id_(id), peer_(std::move(peer)), send_timeout_(send_timeout) {}

TcpServer::Connection::~Connection() {
    if (fd_ >= 0) ::close(fd_);
}

void TcpServer::Connection::close() {
    if (!open_.exchange(false)) return;
    // Wakes the server's poll and any sender; the descriptor itself goes
    // with the last owner, so nobody can be using a reused number.
    ::shutdown(fd_, SHUT_RDWR);
}

void TcpServer::Connection::send(std::string_view frame) {
    std::lock_guard<std::mutex> lock(write_mutex_);
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::duration<double>(send_timeout_);
    std::size_t done = 0;
    while (done < frame.size() && open_.load()) {
        ssize_t n = ::send(fd_, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            double left = std::chrono::duration<double>(deadline - clock::now()).count();
            pollfd p{fd_, POLLOUT, 0};
            if (left > 0 && ::poll(&p, 1, static_cast<int>(std::ceil(left * 1000))) > 0) continue;
        }
        // Gone, or not reading: the client loses its connection, nobody else
        // waits for it.
        close();
    }
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
        if (::bind(fd, a->ai_addr, a->ai_addrlen) == 0 && ::listen(fd, 16) == 0) {
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
        ::close(listen_fd_);
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
    if (listen_fd_ >= 0) ::close(listen_fd_);
    for (int w : wake_)
        if (w >= 0) ::close(w);
}

std::size_t TcpServer::connections() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_.size();
}

void TcpServer::start() {
    if (running_.exchange(true)) return;
    thread_ = runtime::make_std_thread([this] { serve(); });
    thread_->start();
}

void TcpServer::stop() {
    if (!running_.exchange(false) || owner_.foreign()) return;
    char b = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_[1], &b, 1);
    if (thread_) thread_->join();
    std::map<int, ConnectionPtr> left;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        left.swap(connections_);
    }
    for (auto &[fd, c] : left) drop(c);
}

void TcpServer::serve() {
    // Nothing may leave the thread.
    try {
        std::vector<pollfd> fds;
        std::vector<ConnectionPtr> polled;
        while (running_.load()) {
            fds.assign({{wake_[0], POLLIN, 0}, {listen_fd_, POLLIN, 0}});
            polled.clear();
            {
                std::lock_guard<std::mutex> lock(mutex_);
                for (auto &[fd, c] : connections_) {
                    fds.push_back({fd, POLLIN, 0});
                    polled.push_back(c);
                }
            }
            if (::poll(fds.data(), fds.size(), 1000) < 0) {
                if (errno == EINTR) continue;
                runtime::print_line("TcpServer: poll failed: " + errno_text(errno));
                return;
            }
            if (fds[0].revents) break;
            if (fds[1].revents) accept_one();
            for (std::size_t i = 0; i < polled.size(); ++i)
                if (fds[i + 2].revents && !read_from(polled[i])) drop(polled[i]);
        }
    } catch (...) {
        runtime::print_line("TcpServer: ended by " + runtime::describe(std::current_exception()).message);
    }
}

void TcpServer::accept_one() {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    int fd = ::accept(listen_fd_, reinterpret_cast<sockaddr *>(&addr), &len);
    if (fd < 0) return;
    set_nonblocking(fd);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::lock_guard<std::mutex> lock(mutex_);
    if (connections_.size() >= limits_.max_connections) {
        ::close(fd);
        return;
    }
    connections_[fd] = std::make_shared<Connection>(fd, next_id_++, peer_name(addr), limits_.send_timeout);
}

bool TcpServer::read_from(const ConnectionPtr &c) {
    char buf[4096];
    for (;;) {
        ssize_t n = ::recv(c->fd_, buf, sizeof buf, 0);
        if (n == 0) return false;
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        c->pending_.append(buf, static_cast<std::size_t>(n));
        std::size_t start = 0, cr;
        while ((cr = c->pending_.find('\r', start)) != std::string::npos) {
            // Bytes as text, one character each, as every byte channel hands them on.
            std::string frame = latin1_to_utf8(std::string_view(c->pending_).substr(start, cr + 1 - start));
            start = cr + 1;
            if (frame.size() > 1) on_frame_(c, std::move(frame));
        }
        c->pending_.erase(0, start);
        if (c->pending_.size() > limits_.max_frame) return false;  // no frame is this long
        if (static_cast<std::size_t>(n) < sizeof buf) return true;
    }
}

void TcpServer::drop(const ConnectionPtr &c) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = connections_.find(c->fd_);
        if (it != connections_.end() && it->second == c) connections_.erase(it);
    }
    c->close();
    if (on_close_) on_close_(c);
}

}  // namespace mew
