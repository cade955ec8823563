#include "link/mew_master_base.h"

#include <algorithm>
#include <cmath>

#include "base/errors.h"
#include "base/runtime.h"
#include "codec/frames.h"
#include "codec/long_frames.h"
#include "codec/mew_static.h"

namespace mew {

namespace {

// A master's warning for the host's log (see runtime::trace).
void warn(const MewMasterBase *master, std::string_view head, std::string_view tail = {}) {
    runtime::trace(runtime::TraceEvent::kWarning, static_cast<const MewBase *>(master), head, tail);
}

}  // namespace

std::string MewMasterBase::query(std::string_view command) {
    check_process();
    StationLockGuard hold(query_lock_);
    return exchange(command);
}

void MewMasterBase::drop_late_response(FrameQueue &queue) {
    if (late_until_ == Clock::time_point{}) return;
    double left = std::chrono::duration<double>(late_until_ - Clock::now()).count();
    late_until_ = {};
    if (left <= 0) return;
    std::optional<std::string> late = queue.get(left);
    if (late) {
        runtime::print_line("MewMasterBase: Drop late response: " + *late);
        warn(this, "MewMasterBase: Drop late response: ", *late);
    }
}

std::vector<std::string> MewMasterBase::transact(std::string_view command) {
    check_process();
    StationLockGuard hold(query_lock_);
    std::vector<std::string> frames;
    try {
        exchange(command, &frames);
    } catch (const DeviceError &) {
        // The error response is the device's answer like any other.
    } catch (const IOError &) {
        if (frames.empty()) throw;
    }
    return frames;
}

std::string MewMasterBase::exchange(std::string_view cmd, std::vector<std::string> *raw) {
    std::string command(cmd);
    if (command.empty() || command.back() != MewStatic::TAIL) command += MewStatic::TAIL;

    Subscription subscription(feedback_listeners());
    drop_late_response(subscription.queue());
    // A loss reported before the command goes out was an earlier
    // connection's: the send connects again.
    subscription.queue().clear_lost();
    send(command);
    double timeout = query_timeout_.load();
    if (std::isnan(timeout)) timeout = 0;
    const bool forever = runtime::unbounded(timeout);
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(forever ? 0.0 : timeout));
    // Unless a response is taken, it may still come: the next query must
    // not take it for its own. Set on every way out, a time-out, an
    // interruption or a close.
    struct LateGuard {
        MewMasterBase &master;
        double timeout;
        bool answered = false;
        ~LateGuard() {
            if (!answered && !runtime::unbounded(timeout))
                master.late_until_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                        std::chrono::duration<double>(timeout));
        }
    } late{*this, timeout};
    for (;;) {
        double left = forever ? -1.0 : std::chrono::duration<double>(deadline - Clock::now()).count();
        std::optional<std::string> response = subscription.queue().get(forever ? -1.0 : std::max(left, 0.0));
        if (!response) {
            if (subscription.queue().closed()) throw PortClosedError();
            if (std::optional<std::string> lost = subscription.queue().lost()) {
                // The channel dropped what the lost connection had
                // brought: no late response can come of this command.
                late.answered = true;
                throw ConnectionLost(*lost);
            }
            warn(this, "MewMasterBase: device response timeout.");
            throw IOError("MewMasterBase: device response timeout.");
        }
        late.answered = true;
        if (raw) raw->assign(1, *response);
        if (std::optional<std::string> result = frames::check_response(command, *response)) {
            if (!frames::is_continued(*response)) return *result;
            late.answered = false;
            try {
                *result += further_frames(command, *response, subscription.queue(), timeout, raw);
            } catch (const ConnectionLost &) {
                late.answered = true;
                throw;
            }
            late.answered = true;
            return *result;
        }
        late.answered = false;
        if (raw) raw->clear();
        runtime::print_line("MewMasterBase: Drop response to another command: " + *response);
        warn(this, "MewMasterBase: Drop response to another command: ", *response);
    }
}

std::string MewMasterBase::further_frames(const std::string &command, std::string frame, FrameQueue &queue,
                                          double timeout, std::vector<std::string> *raw) {
    struct Awaiting {
        MewBase &link;
        explicit Awaiting(MewBase &l) : link(l) { link.await_continuation(true); }
        ~Awaiting() { link.await_continuation(false); }
    } awaiting(*this);
    const std::string request = frames::continuation_request(frame);
    std::string data;
    while (frames::is_continued(frame)) {
        send(request);
        // Each frame has the whole time-out: the device answers frame by frame.
        for (;;) {
            std::optional<std::string> next = queue.get(runtime::unbounded(timeout) ? -1.0 : timeout);
            if (!next) {
                if (queue.closed()) throw PortClosedError();
                if (std::optional<std::string> lost = queue.lost()) throw ConnectionLost(*lost);
                warn(this, "MewMasterBase: device response timeout.");
                throw IOError("MewMasterBase: device response timeout.");
            }
            if (!frames::has_type(*next)) {
                frame = *next;
                if (raw) raw->push_back(frame);
                data += frames::continuation_data(command, frame);
                break;
            }
            // A device that gives up on the transfer says so with an error
            // response; anything else typed belongs to another exchange.
            if (raw) raw->push_back(*next);
            frames::check_response(command, *next);
            if (raw) raw->pop_back();
            runtime::print_line("MewMasterBase: Drop response to another command: " + *next);
            warn(this, "MewMasterBase: Drop response to another command: ", *next);
        }
    }
    return data;
}

}  // namespace mew
