#include "simulator/sim_station.h"

#include <exception>
#include <optional>

#include "base/errors.h"
#include "codec/long_frames.h"
#include "codec/mew_static.h"
#include "codec/text.h"

namespace mew {

SimStation::~SimStation() {
    try {
        SimStation::stop();
    } catch (...) {
    }
}

void SimStation::start() {
    check_process();
    // The worker's queue is in place before the receiver routes anything.
    worker_.start(
        query_listeners(), [this](const std::string &frame) { return serve_here(frame); },
        [this] { return spawn("_serve", [this] { worker_loop(); }); });
    MewBase::start();
}

void SimStation::stop() {
    worker_.stop([this] { wake(); });
    MewBase::stop();
}

void SimStation::set_wake_queue(FrameQueue *queue) {
    std::lock_guard<std::mutex> lock(wake_mutex_);
    wake_queue_ = queue;
}

void SimStation::wake() {
    std::lock_guard<std::mutex> lock(wake_mutex_);
    if (wake_queue_) wake_queue_->close();
}

void SimStation::worker_loop() {
    try {
        std::unique_ptr<AnsweringSubscription> subscription = worker_.take_subscription(query_listeners());
        // Known to stop() before the flag is looked at: a stop either finds
        // the queue to close or is seen by the first look.
        set_wake_queue(&subscription->queue());
        struct Forget {
            SimStation &station;
            ~Forget() { station.set_wake_queue(nullptr); }
        } forget{*this};
        while (!worker_.stopped()) {
            std::optional<std::string> frame = subscription->queue().get(0.5);
            if (frame) serve(*frame);
        }
    } catch (...) {
        report_unhandled(std::current_exception());
    }
}

bool SimStation::serve_here(const std::string &frame) {
    if (worker_.stopped() || !native_sends()) return false;
    std::shared_ptr<SimDevice> device;
    try {
        device = addressed(frame);
    } catch (...) {
        return false;  // the worker reports it
    }
    if (device && !device->native_answers()) return false;
    serve(frame, device);
    return true;
}

void SimStation::serve(const std::string &frame) {
    try {
        serve(frame, addressed(frame));
    } catch (...) {
        report_unhandled(std::current_exception());
    }
}

void SimStation::serve(const std::string &frame, const std::shared_ptr<SimDevice> &device) {
    try {
        if (!device) return;
        std::string feedback = device->answer(frame);
        if (device->frame_limit() > 0) {
            std::lock_guard<std::mutex> lock(pending_mutex_);
            if (device->transfer_pending())
                pending_.insert(device->station());
            else
                pending_.erase(device->station());
            // Before the first frame leaves: the request for the next may come at once.
            serve_continuations(!pending_.empty());
        }
        // Before the answer leaves: a master that has it finds it logged.
        if (frame_log_.enabled()) frame_log_.record(device->station(), frame, feedback);
        if (!feedback.empty()) send(feedback);
    } catch (...) {
        report_unhandled(std::current_exception());
    }
}

std::string SimStation::respond(const std::string &frame, MewSlaveBase::Transfer &transfer) const {
    std::shared_ptr<SimDevice> device = addressed(frame);
    if (!device) return {};
    std::string answer = device->answer(frame, transfer);
    if (frame_log_.enabled()) frame_log_.record(device->station(), frame, answer);
    return answer;
}

bool SimStation::native_answer(std::string_view frame) const {
    std::shared_ptr<SimDevice> device = addressed(frame);
    return !device || device->native_answers();
}

std::shared_ptr<SimDevice> SimStation::addressed(std::string_view frame) const {
    std::int64_t field = 0;
    try {
        field = frames::is_continuation_request(frame) ? text::parse_int(frame.substr(1, 2), 16)
                                                       : MewStatic::parse_station(frame);
    } catch (const Error &) {
        return {};
    }
    std::lock_guard<std::mutex> lock(devices_mutex_);
    if (decimal_.load()) {
        if (field == frames::kStationEE) return devices_.empty() ? nullptr : devices_.begin()->second;
        // "23" is station 23: both digits decimal.
        if (field < 0 || field > 0x99 || (field & 15) > 9) return {};
        field = (field >> 4) * 10 + (field & 15);
    }
    auto it = devices_.find(field);
    return it == devices_.end() ? nullptr : it->second;
}

void SimStation::add_device(std::shared_ptr<SimDevice> device) {
    const bool decimal = decimal_.load();
    if (decimal && (device->station() < 0 || device->station() > frames::kLargestDecimalStation))
        throw ValueError("station " + std::to_string(device->station()) +
                         " cannot be written in decimal (0 to 99)");
    device->set_frame_limit(frame_limit_.load());
    device->set_decimal_stations(decimal);
    device->set_plc(plc_.load());
    std::shared_ptr<SimDevice> replaced;
    {
        std::lock_guard<std::mutex> lock(devices_mutex_);
        std::shared_ptr<SimDevice> &at = devices_[device->station()];
        replaced = std::move(at);
        at = std::move(device);
    }
    // A replaced device goes here, outside the lock.
}

void SimStation::remove_device(std::int64_t station) {
    std::shared_ptr<SimDevice> removed;
    std::lock_guard<std::mutex> lock(devices_mutex_);
    auto it = devices_.find(station);
    if (it == devices_.end()) return;
    removed = std::move(it->second);
    devices_.erase(it);
}

void SimStation::set_frame_limit(std::int64_t limit) {
    frames::check_frame_limit(limit);
    std::lock_guard<std::mutex> lock(devices_mutex_);
    frame_limit_ = limit;
    for (auto &entry : devices_) entry.second->set_frame_limit(limit);
}

void SimStation::set_decimal_stations(bool decimal) {
    std::lock_guard<std::mutex> lock(devices_mutex_);
    if (decimal)
        for (auto &entry : devices_)
            if (entry.first < 0 || entry.first > frames::kLargestDecimalStation)
                throw ValueError("station " + std::to_string(entry.first) +
                                 " cannot be written in decimal (0 to 99)");
    decimal_ = decimal;
    for (auto &entry : devices_) entry.second->set_decimal_stations(decimal);
}

void SimStation::set_plc(bool plc) {
    std::lock_guard<std::mutex> lock(devices_mutex_);
    plc_ = plc;
    for (auto &entry : devices_) entry.second->set_plc(plc);
}

}  // namespace mew
