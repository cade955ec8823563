// A gateway: TCP masters share one line through a master station of it.
// Commands from every client are put on the line one at a time, in the
// order they came; each answer goes back to the client that asked, a long
// answer frame by frame as the client asks for the next. A client that goes
// away loses only its own answer, and a silent device delays only the
// queue of commands, never the accepting of clients.
#pragma once

#include <memory>
#include <string>

#include "link/mew_master_base.h"
#include "services/tcp_service.h"

namespace mew {

class Gateway {
public:
    Gateway(MewMasterBase &line, const std::string &host, int port,
            TcpService::MakeThread make_thread = &runtime::make_std_thread, TcpServer::Limits limits = {});

    int port() const { return service_.port(); }
    std::size_t connections() const { return service_.connections(); }
    void start() { service_.start(); }
    void stop() { service_.stop(); }

    // What the line answers to a client's frame.
    static std::string relay(MewMasterBase &line, const std::string &frame, TcpService::Transfer &transfer);

private:
    TcpService service_;
};

}  // namespace mew
