// A station that is master and slave at once on one channel: the receiver
// routes responses to the master's queries and commands to the slave side,
// which answers them on the thread that read them when its whole answer is
// the library's own code, and on its slave worker otherwise.
#pragma once

#include <atomic>
#include <memory>

#include "link/mew_slave_base.h"
#include "master/mew_master.h"
#include "station/station_worker.h"

namespace mew {

class MewFullDuplex : public MewMaster, public MewSlaveBase {
public:
    using Words = MewSlaveBase::Words;
    MewFullDuplex(std::shared_ptr<Channel> channel, double query_timeout = 1.0,
                  std::int64_t slave_station = 1)
        : MewMaster(std::move(channel), query_timeout), MewSlaveBase(slave_station) {}
    ~MewFullDuplex() override;

    void start() override;
    void stop() override;

    // The slave worker's body.
    void worker_loop();
    bool slave_stop_flag() const { return worker_.stopped(); }
    // Whether the answer leaves through the library's own send and channel;
    // a host whose send or channel is its own says no.
    virtual bool native_sends() const { return true; }
    // Whether commands are answered on the thread that reads them.
    bool answers_on_reader() const { return native_answers() && native_sends(); }
    runtime::WorkerThread *slave_thread() const { return worker_.thread(); }

    // Default handlers: reads answer zeros, writes store nothing.
    bool on_get_coil(std::string_view name) override;
    void on_set_coil(std::string_view name, bool value) override;
    Words on_get_multi_coil_uint16(std::string_view name, std::int64_t count) override;
    void on_set_multi_coil_uint16(std::string_view name, const Words &values) override;
    Words on_get_multi_uint16(std::string_view name, std::int64_t count) override;
    void on_set_multi_uint16(std::string_view name, const Words &values) override;

private:
    StationWorker worker_;
};

}  // namespace mew
