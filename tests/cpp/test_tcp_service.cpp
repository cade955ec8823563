// Clients of a station that serves over TCP, played with plain sockets on
// the loopback: answers go back to the client that asked, each client has
// its own long transfer, and a misbehaving client costs only its own
// connection.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "codec/mew_static.h"
#include "link/mew_slave_base.h"
#include "services/tcp_service.h"

using mew::MewStatic;

namespace {

// Registers that hold their own numbers, plus the station number in DT9999.
class Registers : public mew::MewSlaveBase {
public:
    using MewSlaveBase::MewSlaveBase;
    bool on_get_coil(std::string_view) override { return false; }
    void on_set_coil(std::string_view, bool) override {}
    Words on_get_multi_coil_uint16(std::string_view, std::int64_t count) override { return Words(count, 0); }
    void on_set_multi_coil_uint16(std::string_view, const Words &) override {}
    Words on_get_multi_uint16(std::string_view name, std::int64_t count) override {
        Words w;
        for (std::int64_t i = 0; i < count; ++i) w.push_back(std::stoll(std::string(name.substr(1))) + i);
        return w;
    }
    void on_set_multi_uint16(std::string_view, const Words &) override {}
};

class Client {
public:
    explicit Client(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
            throw std::runtime_error("connect");
    }
    ~Client() { ::close(fd_); }
    void send(const std::string &bytes) { ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    // The next frame, or "" when none comes within 5 s or the server closed.
    std::string frame() {
        std::string out;
        char c;
        while (out.empty() || out.back() != '\r') {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 5000) <= 0 || ::recv(fd_, &c, 1, 0) != 1) return {};
            out += c;
        }
        return out;
    }
    std::string query(const std::string &command) {
        send(command);
        return frame();
    }

private:
    int fd_ = -1;
};

std::string words_response(std::int64_t from, std::int64_t count) {
    std::string data = "%01$RD";
    for (std::int64_t i = from; i < from + count; ++i)
        MewStatic::append_word(data, static_cast<std::uint16_t>(i));
    return MewStatic::append_tail(data);
}

struct Served {
    Registers slave{1};
    mew::TcpService service{"127.0.0.1", 0, [this](const std::string &frame, mew::TcpService::Transfer &t) {
                                return slave.answer(frame, t);
                            }};
    Served() {
        slave.set_frame_limit(118);
        service.start();
    }
};

}  // namespace

TEST(TcpService, EachClientGetsItsOwnAnswersAndTransfers) {
    Served s;
    Client a(s.service.port()), b(s.service.port());
    const std::string first_a = a.query(MewStatic::fill_read_data_area_message(1, "DT0", 30));
    const std::string first_b = b.query(MewStatic::fill_read_data_area_message(1, "DT100", 30));
    ASSERT_EQ(first_a.back(), '\r');
    EXPECT_EQ(first_a.substr(0, 10), "%01$RD0000");
    EXPECT_EQ(first_b.substr(0, 10), "%01$RD6400");
    // Each client's next frame is its own, whichever asks first.
    EXPECT_EQ(b.query("%01**&\r"), MewStatic::append_tail("%017F0080008100"));
    EXPECT_EQ(a.query("%0124&\r"), "%011B001C001D0050\r");
    EXPECT_EQ(a.query(MewStatic::fill_read_data_area_message(1, "DT7", 1)), words_response(7, 1));
}

TEST(TcpService, AMisbehavingClientCostsOnlyItsConnection) {
    Served s;
    Client silent(s.service.port()), flood(s.service.port()), good(s.service.port());
    silent.send("%01#RDD000");  // half a frame, then nothing
    flood.send(std::string(100 * 1024, 'A'));
    EXPECT_EQ(flood.frame(), "");  // closed by the server
    flood.send(std::string(20, 'B'));
    EXPECT_EQ(good.query(MewStatic::fill_read_data_area_message(1, "DT3", 2)), words_response(3, 2));
    std::vector<std::thread> many;
    for (int i = 0; i < 4; ++i)
        many.emplace_back([&s, i] {
            Client c(s.service.port());
            for (int n = 0; n < 50; ++n) {
                const std::int64_t at = i * 1000 + n;
                EXPECT_EQ(c.query(MewStatic::fill_read_data_area_message(1, "DT" + std::to_string(at), 1)),
                          words_response(at, 1));
            }
        });
    for (auto &t : many) t.join();
    EXPECT_LE(s.service.connections(), 6u);
}

TEST(TcpService, PipelinedCommandsAfterNoiseAreAnsweredInOrderAndStopRefusesNewClients) {
    Served s;
    std::vector<std::thread> clients;
    for (int i = 0; i < 3; ++i)
        clients.emplace_back([&s, i] {
            Client c(s.service.port());
            // CR LF endings and a NUL in front, forty commands at once.
            std::string burst(1, '\0');
            for (int n = 0; n < 40; ++n)
                burst +=
                    MewStatic::fill_read_data_area_message(1, "DT" + std::to_string(i * 100 + n), 1) + "\n";
            c.send(burst);
            for (int n = 0; n < 40; ++n) EXPECT_EQ(c.frame(), words_response(i * 100 + n, 1));
        });
    for (auto &t : clients) t.join();
    const int port = s.service.port();
    s.service.stop();
    EXPECT_THROW(Client{port}, std::runtime_error);
}
