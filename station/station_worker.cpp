#include "station/station_worker.h"

namespace mew {

void answer_command(MewBase &link, MewSlaveBase &slave, const std::string &frame) {
    try {
        std::string feedback = slave.answer(frame);
        // Before the first frame leaves: the request for the next may come at once.
        if (slave.frame_limit() > 0) link.serve_continuations(slave.transfer_pending());
        if (!feedback.empty()) link.send(feedback);
    } catch (...) {
        report_unhandled(std::current_exception());
    }
}

void report_unhandled(std::exception_ptr error) {
    runtime::print_line("Ignore unhandled exception: " + runtime::describe(error).message);
}

}  // namespace mew
