#include "station/station_worker.h"

namespace mew {

void answer_command(MewBase &link, MewSlaveBase &slave, const std::string &frame) {
    try {
        std::string feedback = slave.process_request(frame);
        if (!feedback.empty()) link.send(feedback);
    } catch (...) {
        runtime::print_line("Ignore unhandled exception: " +
                            runtime::describe(std::current_exception()).message);
    }
}

}  // namespace mew
