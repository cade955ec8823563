#include "station/random_slave.h"

#include <random>

namespace mew {

namespace {

std::mt19937_64 &generator() {
    thread_local std::mt19937_64 g{std::random_device{}()};
    return g;
}

}  // namespace

RandomMewSlaveDemo::~RandomMewSlaveDemo() {
    try {
        RandomMewSlaveDemo::stop();
    } catch (...) {
    }
}

void RandomMewSlaveDemo::start() {
    MewBase::start();
    worker_.start(query_listeners(), answer_on_reader(*this, worker_),
                  [this] { return spawn("_check_and_process_request", [this] { worker_loop(); }); });
}

void RandomMewSlaveDemo::stop() {
    worker_.stop([this] { wake_pauses(); });
    MewBase::stop();
}

void RandomMewSlaveDemo::worker_loop() {
    try {
        std::unique_ptr<AnsweringSubscription> subscription = worker_.take_subscription(query_listeners());
        while (!worker_.stopped()) {
            if (std::optional<std::string> frame = subscription->queue().try_get())
                answer_command(*this, *this, *frame);
            else
                pause(0.01, worker_.stop_flag());
        }
    } catch (...) {
        report_unhandled(std::current_exception());
    }
}

std::int64_t RandomMewSlaveDemo::random_int(std::int64_t low, std::int64_t high) {
    return std::uniform_int_distribution<std::int64_t>(low, high)(generator());
}

bool RandomMewSlaveDemo::random_bool() {
    return random_int(0, 1) == 1;
}

bool RandomMewSlaveDemo::on_get_coil(std::string_view) {
    return random_bool();
}

void RandomMewSlaveDemo::on_set_coil(std::string_view name, bool value) {
    runtime::print_line("Slave: Contact " + std::string(name) + " is set to " + (value ? "True" : "False"));
}

MewSlaveBase::Words RandomMewSlaveDemo::on_get_multi_coil_uint16(std::string_view, std::int64_t count) {
    Words values(count > 0 ? static_cast<std::size_t>(count) : 0);
    for (auto &v : values) v = random_int(0, 65535);
    return values;
}

void RandomMewSlaveDemo::on_set_multi_coil_uint16(std::string_view name, const Words &values) {
    runtime::print_line("Slave: Contact Crow " + std::string(name) + " wrote to " + list_text(values));
}

MewSlaveBase::Words RandomMewSlaveDemo::on_get_multi_uint16(std::string_view name, std::int64_t count) {
    return on_get_multi_coil_uint16(name, count);
}

void RandomMewSlaveDemo::on_set_multi_uint16(std::string_view name, const Words &values) {
    runtime::print_line("Slave: Registers " + std::string(name) + " wrote to " + list_text(values));
}

}  // namespace mew
