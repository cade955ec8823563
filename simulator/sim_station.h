// The line of a simulator: one station that answers, for every simulated
// device on it, the commands addressed to that device; commands for a
// station without a device go unanswered, as on a real line. A device whose
// answer is the library's own code (no handler or observer of a host) is
// answered on the thread that read the command; the others on a worker
// thread of the station's own.
//
// The station can log the frames its devices exchange, on the line and with
// the clients of its servers alike (see FrameLog): only frames that address
// one of its devices, each with the one frame the device sent back.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>

#include "link/listener.h"
#include "link/mew_base.h"
#include "simulator/frame_log.h"
#include "simulator/sim_device.h"
#include "station/station_worker.h"

namespace mew {

class SimStation : public MewBase {
public:
    explicit SimStation(std::shared_ptr<Channel> channel) : MewBase(std::move(channel)) {}
    ~SimStation() override;

    // The receiver and the worker; stop waits for both.
    void start() override;
    void stop() override;

    // The worker's body.
    void worker_loop();
    bool worker_stopped() const { return worker_.stopped(); }
    // Whether the answers leave through the library's own send and channel;
    // a host whose send or channel is its own says no, and every command
    // goes to the worker.
    virtual bool native_sends() const { return true; }
    runtime::WorkerThread *worker_thread() const { return worker_.thread(); }

    // How every device on the line answers, those added later too: frames
    // cut at a frame limit (0, 118 or 2048), stations numbered in decimal
    // (0..99, "EE" the first device), PLC mode (see SimDevice).
    void set_frame_limit(std::int64_t limit);
    void set_decimal_stations(bool decimal);
    void set_plc(bool plc);

    // Puts `device` at its station in place of any there. ValueError for a
    // station that decimal numbering cannot write.
    void add_device(std::shared_ptr<SimDevice> device);
    void remove_device(std::int64_t station);
    // The answer to a client of a server, with a transfer of its own: the
    // device's that the frame addresses, or nothing.
    std::string respond(const std::string &frame, MewSlaveBase::Transfer &transfer) const;
    // The device a command or a request for the next frame is for; empty
    // when there is none.
    std::shared_ptr<SimDevice> addressed(std::string_view frame) const;
    // Whether respond() answers `frame` with the library's own code only.
    bool native_answer(std::string_view frame) const;

    // Off until given a capacity; safe from any thread.
    FrameLog &frame_log() { return frame_log_; }

private:
    StationWorker worker_;
    mutable std::mutex devices_mutex_;
    std::map<std::int64_t, std::shared_ptr<SimDevice>> devices_;
    std::atomic<std::int64_t> frame_limit_{0};
    std::atomic<bool> decimal_{false};
    std::atomic<bool> plc_{false};
    // Written by respond() too, which answers clients without changing the line.
    mutable FrameLog frame_log_;
    // The worker's queue, closed by stop() so that the worker sees its stop
    // flag at once.
    std::mutex wake_mutex_;
    FrameQueue *wake_queue_ = nullptr;
    // Stations whose devices have frames of a response left, answered on
    // the reading thread and on the worker alike.
    std::mutex pending_mutex_;
    std::set<std::int64_t> pending_;

    // Answers on the thread that routes `frame` and returns true, or leaves
    // it to the worker.
    bool serve_here(const std::string &frame);
    void serve(const std::string &frame);
    void serve(const std::string &frame, const std::shared_ptr<SimDevice> &device);
    void set_wake_queue(FrameQueue *queue);
    void wake();
};

}  // namespace mew
