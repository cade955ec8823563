// The TCP channel against a peer on a local listening socket: frames however
// the stream splits them, a close that wakes a reader, connections the peer
// drops or refuses, and a master whose query is waiting when that happens.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/errors.h"
#include "base/runtime.h"
#include "codec/mew_static.h"
#include "link/listener.h"
#include "link/mew_master_base.h"
#include "transport/tcp_channel.h"

namespace {

using mew::MewStatic;
using mew::TcpChannel;
using mew::TcpSettings;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool eventually(const std::function<bool()> &condition, double seconds = 10) {
    const auto start = Clock::now();
    while (!condition()) {
        if (seconds_since(start) > seconds) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

std::string frame(std::string_view body) {
    return MewStatic::append_tail(body);
}

TcpSettings settings(double timeout, double first_backoff = 0.5, double longest_backoff = 8.0) {
    TcpSettings s;
    s.timeout = timeout;
    s.connect_timeout = 5.0;
    s.first_backoff = first_backoff;
    s.longest_backoff = longest_backoff;
    return s;
}

// The device: a listening socket on 127.0.0.1 and the connections it
// accepted. Every wait is bounded; everything closes with it.
class Peer {
public:
    Peer() {
        listen_on(0);
        if (listen_fd_ < 0) throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    ~Peer() {
        stop_listening();
        std::lock_guard<std::mutex> lock(mutex_);
        for (int fd : accepted_) ::close(fd);
    }
    Peer(const Peer &) = delete;
    Peer &operator=(const Peer &) = delete;

    int port() const { return port_; }

    // The next connection, waiting at most 10 s; -1 when none came.
    int accept() {
        pollfd p{listen_fd_, POLLIN, 0};
        if (::poll(&p, 1, 10000) != 1) return -1;
        int fd = ::accept(listen_fd_, nullptr, nullptr);
        if (fd >= 0) {
            std::lock_guard<std::mutex> lock(mutex_);
            accepted_.push_back(fd);
        }
        return fd;
    }
    // Whether a connection waits to be accepted.
    bool pending() const {
        pollfd p{listen_fd_, POLLIN, 0};
        return ::poll(&p, 1, 0) == 1;
    }
    void stop_listening() {
        if (listen_fd_ >= 0) ::close(listen_fd_);
        listen_fd_ = -1;
    }
    // Listens on the same port again; false when another took it meanwhile.
    bool listen_again() {
        listen_on(port_);
        return listen_fd_ >= 0;
    }
    // Closes a connection; with `reset`, abortively (the peer's next send fails).
    void hang_up(int fd, bool reset = false) {
        if (reset) {
            linger l{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        }
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = accepted_.begin(); it != accepted_.end(); ++it)
            if (*it == fd) {
                accepted_.erase(it);
                ::close(fd);
                return;
            }
    }

    static void send_all(int fd, std::string_view bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return;
            done += static_cast<std::size_t>(n);
        }
    }
    // Everything up to and including the next CR, waiting at most 10 s.
    static std::string receive_frame(int fd) {
        std::string out;
        char c = 0;
        while (c != '\r') {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 10000) != 1 || ::recv(fd, &c, 1, 0) != 1) return out;
            out += c;
        }
        return out;
    }

private:
    int listen_fd_ = -1;
    int port_ = 0;
    std::mutex mutex_;
    std::vector<int> accepted_;

    void listen_on(int port) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(fd, reinterpret_cast<sockaddr *>(&a), len) != 0 || ::listen(fd, 8) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
            ::close(fd);
            return;
        }
        listen_fd_ = fd;
        port_ = ntohs(a.sin_port);
    }
};

std::string address_of(const Peer &peer) {
    return "127.0.0.1:" + std::to_string(peer.port());
}

// The message of the error of type E that `call` raises; "(none)" when it
// raises none.
template <class E>
std::string error_of(const std::function<void()> &call) {
    try {
        call();
    } catch (const E &e) {
        return e.what();
    }
    return "(none)";
}

bool starts_with(const std::string &text, const std::string &prefix) {
    return text.rfind(prefix, 0) == 0;
}

std::mutex g_printed_mutex;
std::vector<std::string> g_printed;

void capture(const std::string &line) {
    std::lock_guard<std::mutex> lock(g_printed_mutex);
    g_printed.push_back(line);
}

bool was_printed(const std::string &line) {
    return eventually([&] {
        std::lock_guard<std::mutex> lock(g_printed_mutex);
        for (const auto &l : g_printed)
            if (l == line) return true;
        return false;
    });
}

// ---- Addresses -------------------------------------------------------------

TEST(TcpUrl, NamesWithATcpSchemeAreAddresses) {
    auto a = mew::parse_tcp_url("tcp://192.168.1.5:9094");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->host, "192.168.1.5");
    EXPECT_EQ(a->port, 9094);
    a = mew::parse_tcp_url("SOCKET://plc-hall-3:1");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->host, "plc-hall-3");
    EXPECT_EQ(a->port, 1);
    a = mew::parse_tcp_url("tcp://[fe80::1]:65535");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->host, "fe80::1");
    EXPECT_EQ(a->port, 65535);
    for (const char *other : {"COM3", "/dev/ttyUSB0", "udp://h:1", "tcp:/h:1", ""})
        EXPECT_FALSE(mew::parse_tcp_url(other)) << other;
}

// ---- The byte path ---------------------------------------------------------

TEST(TcpChannelTest, ReassemblesFramesHoweverTheStreamSplitsThem) {
    Peer peer;
    TcpChannel channel("127.0.0.1", peer.port(), settings(5.0));
    int fd = peer.accept();
    ASSERT_GE(fd, 0);
    const std::string one = frame("%01$RD0100"), two = frame("%01$RC1"), three = frame("%01!42");
    std::thread device([&] {
        for (char c : one) {
            Peer::send_all(fd, std::string(1, c));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        Peer::send_all(fd, two + three + "\xb5" + "\r");
    });
    EXPECT_EQ(channel.read_one(), "%");
    EXPECT_EQ(channel.receive_frame(), one.substr(1));
    EXPECT_EQ(channel.receive_frame(), two);
    EXPECT_EQ(channel.receive_frame(), three);
    EXPECT_EQ(channel.receive_frame(), "\xc2\xb5\r");  // a byte is a character
    device.join();

    channel.send_frame(frame("%01#RDD0000000000"));
    EXPECT_EQ(Peer::receive_frame(fd), frame("%01#RDD0000000000"));
    EXPECT_TRUE(channel.connected());
    EXPECT_EQ(channel.address(), address_of(peer));
}

TEST(TcpChannelTest, CloseFromAnotherThreadWakesABlockedReader) {
    Peer peer;
    TcpChannel channel("127.0.0.1", peer.port(), settings(-1));  // reads wait without limit
    int fd = peer.accept();
    ASSERT_GE(fd, 0);
    auto reader = std::async(
        std::launch::async, [&] { return error_of<mew::PortClosedError>([&] { channel.receive_frame(); }); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // most likely blocked by now
    channel.close();
    if (reader.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        Peer::send_all(fd, "\r");  // let it go, so that the test ends
        FAIL() << "close() did not wake the reader";
    }
    EXPECT_EQ(reader.get(), "Attempting to use a port that is not open");
    EXPECT_EQ(error_of<mew::PortClosedError>([&] { channel.send_frame("x\r"); }),
              "Attempting to use a port that is not open");
    EXPECT_EQ(error_of<mew::PortClosedError>([&] { channel.read_one(); }),
              "Attempting to use a port that is not open");
    // The peer sees the connection end.
    char c;
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1);
    EXPECT_EQ(::recv(fd, &c, 1, 0), 0);
}

// ---- Connections -----------------------------------------------------------

TEST(TcpChannelTest, AReadReportsThePeersCloseOnceAndTheNextSendConnectsAgain) {
    Peer peer;
    TcpChannel channel("127.0.0.1", peer.port(), settings(0.05));
    int first = peer.accept();
    ASSERT_GE(first, 0);
    // A frame broken off by the close: its start must never be read again.
    Peer::send_all(first, "%01$RD01");
    peer.hang_up(first);
    EXPECT_EQ(channel.read_one(), "%");
    std::string message = error_of<mew::ConnectionLost>([&] { channel.receive_frame(); });
    EXPECT_EQ(message, "connection to " + address_of(peer) + " lost: closed by the peer");
    EXPECT_FALSE(channel.connected());
    EXPECT_EQ(channel.read_one(), "");  // once per drop; then nothing comes
    EXPECT_EQ(channel.in_waiting(), 0);
    EXPECT_FALSE(peer.pending());  // no connection is made without a send

    channel.send_frame(frame("%01#RDD0000000000"));
    int second = peer.accept();
    ASSERT_GE(second, 0);
    EXPECT_EQ(Peer::receive_frame(second), frame("%01#RDD0000000000"));
    Peer::send_all(second, frame("%01$RD0200"));
    EXPECT_EQ(channel.read_one(), "%");
    EXPECT_EQ(channel.receive_frame(), frame("%01$RD0200").substr(1));
    EXPECT_TRUE(channel.connected());
}

TEST(TcpChannelTest, ASendIntoAResetConnectionFailsAndTheReaderHearsOfIt) {
    Peer peer;
    TcpChannel channel("127.0.0.1", peer.port(), settings(0.05));
    int first = peer.accept();
    ASSERT_GE(first, 0);
    peer.hang_up(first, true);
    std::string message;
    ASSERT_TRUE(eventually([&] {
        message = error_of<mew::ConnectionLost>([&] { channel.send_frame("%01#RCSR0000**\r"); });
        return message != "(none)";
    }));
    EXPECT_TRUE(starts_with(message, "connection to " + address_of(peer) + " lost: [Errno ")) << message;
    EXPECT_EQ(error_of<mew::ConnectionLost>([&] { channel.read_one(); }), message);
    EXPECT_EQ(channel.read_one(), "");
    channel.send_frame("%01#RCSR0000**\r");
    int second = peer.accept();
    ASSERT_GE(second, 0);
    EXPECT_EQ(Peer::receive_frame(second), "%01#RCSR0000**\r");
}

TEST(TcpChannelTest, ARefusedAddressFailsInTheConstructor) {
    int port;
    {
        Peer gone;
        port = gone.port();
    }
    std::string message = error_of<mew::IOError>([&] { TcpChannel("127.0.0.1", port, settings(0.05)); });
    EXPECT_EQ(message,
              "cannot connect to 127.0.0.1:" + std::to_string(port) + ": [Errno 111] Connection refused");
}

TEST(TcpChannelTest, AfterARefusedConnectSendsFailAtOnceUntilThePauseIsOver) {
    Peer peer;
    TcpChannel channel("127.0.0.1", peer.port(), settings(0.05, 5.0, 8.0));
    int first = peer.accept();
    ASSERT_GE(first, 0);
    peer.stop_listening();
    peer.hang_up(first);
    EXPECT_NE(error_of<mew::ConnectionLost>([&] { channel.receive_frame(); }), "(none)");
    const std::string refused = "[Errno 111] Connection refused";
    EXPECT_EQ(error_of<mew::IOError>([&] { channel.send_frame("x\r"); }),
              "cannot connect to " + address_of(peer) + ": " + refused);
    EXPECT_EQ(channel.backoff_pause(), 5.0);
    const auto start = Clock::now();
    std::string message = error_of<mew::IOError>([&] { channel.send_frame("x\r"); });
    EXPECT_LT(seconds_since(start), 4.0);  // no attempt: the pause is 5 s
    const std::string head = "not connected to " + address_of(peer) + " (next attempt in ";
    EXPECT_TRUE(starts_with(message, head)) << message;
    EXPECT_EQ(message.substr(message.size() - refused.size() - 5), " s): " + refused);
    EXPECT_GT(channel.backoff_left(), 0);
}

TEST(TcpChannelTest, ThePauseDoublesUpToItsLimitAndAConnectionResetsIt) {
    Peer peer;
    TcpChannel channel("127.0.0.1", peer.port(), settings(0.05, 0.01, 0.04));
    int first = peer.accept();
    ASSERT_GE(first, 0);
    peer.stop_listening();
    peer.hang_up(first);
    EXPECT_NE(error_of<mew::ConnectionLost>([&] { channel.receive_frame(); }), "(none)");
    EXPECT_EQ(channel.backoff_pause(), 0);
    for (double pause : {0.01, 0.02, 0.04, 0.04}) {
        ASSERT_TRUE(eventually([&] { return channel.backoff_left() == 0; }));
        EXPECT_TRUE(
            starts_with(error_of<mew::IOError>([&] { channel.send_frame("x\r"); }), "cannot connect to "));
        EXPECT_EQ(channel.backoff_pause(), pause);
    }
    if (!peer.listen_again()) GTEST_SKIP() << "the port was taken meanwhile";
    ASSERT_TRUE(eventually([&] { return channel.backoff_left() == 0; }));
    channel.send_frame("x\r");
    int second = peer.accept();
    ASSERT_GE(second, 0);
    EXPECT_EQ(Peer::receive_frame(second), "x\r");
    EXPECT_EQ(channel.backoff_pause(), 0);
    peer.stop_listening();
    peer.hang_up(second);
    EXPECT_NE(error_of<mew::ConnectionLost>([&] { channel.receive_frame(); }), "(none)");
    EXPECT_TRUE(
        starts_with(error_of<mew::IOError>([&] { channel.send_frame("x\r"); }), "cannot connect to "));
    EXPECT_EQ(channel.backoff_pause(), 0.01);
}

// ---- Listeners and the master -----------------------------------------------

TEST(FrameQueueLoss, ALossEndsTheWaitOnceAfterTheFramesQueuedBeforeIt) {
    mew::FrameQueue queue;
    auto waiter = std::async(std::launch::async, [&] { return queue.get(30); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    queue.connection_lost("connection to x lost", 1);
    ASSERT_EQ(waiter.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(waiter.get(), std::nullopt);
    EXPECT_EQ(queue.lost(), "connection to x lost");
    queue.put("a\r");
    queue.connection_lost("connection to x lost again", 1);
    EXPECT_EQ(queue.get(30), "a\r");
    EXPECT_EQ(queue.get(30), std::nullopt);
    EXPECT_EQ(queue.try_get(), std::nullopt);  // and it waits again after that
    EXPECT_EQ(queue.lost(), "connection to x lost again");
    queue.clear_lost();
    EXPECT_EQ(queue.lost(), std::nullopt);
    EXPECT_FALSE(queue.closed());
}

class TcpMasterTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::lock_guard<std::mutex> lock(g_printed_mutex);
        g_printed.clear();
        mew::runtime::set_printer(&capture);
    }
    void TearDown() override { mew::runtime::set_printer(nullptr); }
};

TEST_F(TcpMasterTest, AQueryWaitingWhenTheConnectionDropsFailsAtOnceAndTheNextOneConnectsAgain) {
    Peer peer;
    auto channel = std::make_shared<TcpChannel>("127.0.0.1", peer.port(), settings(0.05));
    mew::MewMasterBase master(channel, 30.0);
    master.start();
    const std::string command = "%01#RDD0000000000";
    std::atomic<bool> stale_sent{false};
    std::thread device([&] {
        int first = peer.accept();
        if (first < 0) return;
        Peer::receive_frame(first);
        ::shutdown(first, SHUT_WR);  // the peer closes its side, and answers later
        int second = peer.accept();
        if (second < 0) return;
        Peer::receive_frame(second);
        Peer::send_all(first, frame("%01$RD0100"));  // too late, on the old connection
        stale_sent = true;
        Peer::send_all(second, frame("%01$RD0200"));
    });
    const auto start = Clock::now();
    std::string message = error_of<mew::ConnectionLost>([&] { master.query(command); });
    EXPECT_LT(seconds_since(start), 15.0);  // not the 30 s of the query's time-out
    EXPECT_EQ(message, "connection to " + address_of(peer) + " lost: closed by the peer");
    EXPECT_TRUE(was_printed("MewBase: " + message));
    EXPECT_FALSE(master.stop_flag());  // the receiver goes on

    EXPECT_EQ(master.query(command), "RD0200");
    EXPECT_TRUE(stale_sent);
    device.join();
    master.close();
}

}  // namespace
