// A ready-made slave for trials: answers reads with random values and prints
// every write; on the thread that read the command when the whole answer is
// the library's own code, on its worker otherwise.
#pragma once

#include <atomic>
#include <memory>

#include "link/mew_base.h"
#include "link/mew_slave_base.h"
#include "station/station_worker.h"

namespace mew {

class RandomMewSlaveDemo : public MewBase, public MewSlaveBase {
public:
    RandomMewSlaveDemo(std::int64_t station, std::shared_ptr<Channel> channel)
        : MewBase(std::move(channel)), MewSlaveBase(station) {}
    ~RandomMewSlaveDemo() override;

    void start() override;
    void stop() override;
    // The worker's body: polls its queue, sleeping 10 ms while it is empty.
    void worker_loop();
    bool slave_stop_flag() const { return worker_.stopped(); }
    // As for MewFullDuplex.
    virtual bool native_sends() const { return true; }
    bool answers_on_reader() const { return native_answers() && native_sends(); }
    runtime::WorkerThread *slave_thread() const { return worker_.thread(); }

    bool on_get_coil(std::string_view name) override;
    void on_set_coil(std::string_view name, bool value) override;
    Words on_get_multi_coil_uint16(std::string_view name, std::int64_t count) override;
    void on_set_multi_coil_uint16(std::string_view name, const Words &values) override;
    Words on_get_multi_uint16(std::string_view name, std::int64_t count) override;
    void on_set_multi_uint16(std::string_view name, const Words &values) override;

protected:
    // The random source: a uniform integer in [low, high] and a fair coin.
    virtual std::int64_t random_int(std::int64_t low, std::int64_t high);
    virtual bool random_bool();

private:
    StationWorker worker_;
};

}  // namespace mew
