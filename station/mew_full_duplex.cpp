#include "station/mew_full_duplex.h"

namespace mew {

MewFullDuplex::~MewFullDuplex() {
    try {
        MewFullDuplex::stop();
    } catch (...) {
    }
}

void MewFullDuplex::start() {
    MewMaster::start();
    worker_.start(query_listeners(), answer_on_reader(*this, worker_),
                  [this] { return spawn("_check_and_process_request", [this] { worker_loop(); }); });
}

void MewFullDuplex::stop() {
    MewMaster::stop();
    worker_.stop();
}

void MewFullDuplex::worker_loop() {
    try {
        std::unique_ptr<AnsweringSubscription> subscription = worker_.take_subscription(query_listeners());
        while (!worker_.stopped()) {
            // The wait ends as soon as a frame arrives; the time-out only
            // bounds how late the stop flag is seen.
            std::optional<std::string> frame = subscription->queue().get(0.1);
            if (frame) answer_command(*this, *this, *frame);
        }
    } catch (...) {
        report_unhandled(std::current_exception());
    }
}

bool MewFullDuplex::on_get_coil(std::string_view) {
    return false;
}
void MewFullDuplex::on_set_coil(std::string_view, bool) {}
MewSlaveBase::Words MewFullDuplex::on_get_multi_coil_uint16(std::string_view, std::int64_t count) {
    return Words(count > 0 ? static_cast<std::size_t>(count) : 0, 0);
}
void MewFullDuplex::on_set_multi_coil_uint16(std::string_view, const Words &) {}
MewSlaveBase::Words MewFullDuplex::on_get_multi_uint16(std::string_view, std::int64_t count) {
    return Words(count > 0 ? static_cast<std::size_t>(count) : 0, 0);
}
void MewFullDuplex::on_set_multi_uint16(std::string_view, const Words &) {}

}  // namespace mew
