#include "services/gateway.h"

#include "base/errors.h"
#include "base/runtime.h"
#include "codec/frames.h"
#include "codec/long_frames.h"
#include "codec/mew_static.h"

namespace mew {

Gateway::Gateway(MewMasterBase &line, const std::string &host, int port, TcpService::MakeThread make_thread,
                 TcpServer::Limits limits)
    : service_(
          host, port,
          [&line](const std::string &frame, TcpService::Transfer &transfer) {
              return relay(line, frame, transfer);
          },
          std::move(make_thread), limits) {}

std::string Gateway::relay(MewMasterBase &line, const std::string &frame, TcpService::Transfer &transfer) {
    // The line's transfer is over by the time its first frame comes back:
    // the rest waits here for the client to ask. A request with nothing
    // left gets nothing, as from a device that has no more to say.
    if (frames::is_continuation_request(frame)) {
        if (transfer.empty()) return {};
        std::string next = std::move(transfer.front());
        transfer.pop_front();
        return next;
    }
    transfer.clear();
    // Only commands go on the line: whatever else a client sends would
    // disturb every device there.
    bool command = false;
    try {
        command = frames::command_well_formed(frame, true) && MewStatic::is_query(frame);
    } catch (const Error &) {
    }
    if (!command) {
        runtime::print_line("Gateway: Drop what is no command: " + frame);
        runtime::trace(runtime::TraceEvent::kWarning, nullptr, "Gateway: Drop what is no command: ", frame);
        return {};
    }
    std::vector<std::string> answer;
    try {
        answer = line.transact(frame);
    } catch (const IOError &e) {
        // No answer (a time-out, a lost line): the client's own time-out
        // tells it so.
        runtime::print_line("Gateway: " + std::string(e.what()));
        runtime::trace(runtime::TraceEvent::kWarning, nullptr, "Gateway: ", e.what());
        return {};
    }
    if (answer.empty()) return {};
    transfer.assign(std::make_move_iterator(answer.begin() + 1), std::make_move_iterator(answer.end()));
    return std::move(answer.front());
}

}  // namespace mew
