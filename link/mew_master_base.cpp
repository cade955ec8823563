#include "link/mew_master_base.h"

#include "codec/errors.h"
#include "codec/mew_static.h"
#include "codec/text.h"

namespace mew {

namespace {

// Registers a listener for the length of one exchange; it is removed on every
// way out, so no frame is ever put into a queue nobody reads.
class FeedbackSubscription {
public:
    explicit FeedbackSubscription(ListenerList &list) : list_(list), queue_(std::make_shared<FrameQueue>()) {
        list_.append(queue_);
    }
    ~FeedbackSubscription() {
        const Listener *mine = queue_.get();
        list_.remove([mine](const Listener &l) { return &l == mine; });
    }
    FrameQueue &queue() { return *queue_; }

private:
    ListenerList &list_;
    std::shared_ptr<FrameQueue> queue_;
};

// A check code that is not even a number is as wrong as a wrong one.
bool check_code_valid(std::string_view response) {
    try {
        return MewStatic::crc_is_ok(response);
    } catch (const ValueError &) {
        return false;
    }
}

}  // namespace

std::string MewMasterBase::query(std::string_view command) {
    StationLockGuard hold(query_lock_);
    return exchange(command);
}

std::string MewMasterBase::exchange(std::string_view cmd) {
    std::string command(cmd);
    if (command.empty() || command.back() != MewStatic::TAIL) command += MewStatic::TAIL;

    std::optional<std::string> response;
    {
        FeedbackSubscription subscription(feedback_listeners());
        send(command);
        response = subscription.queue().get(query_timeout_.load());
    }
    if (!response) throw IOError("MewMasterBase: device response timeout.");
    const std::string &fb = *response;

    std::int64_t responding = MewStatic::parse_station(fb);
    if (fb.empty() || fb[0] != MewStatic::HEAD)
        throw IOError("Error: device response format invalid: begin with: " + std::string(text::at(fb, 0)));
    std::size_t length = text::length(fb);
    if (length < 9) throw IOError("Error: device response format invalid: length too small: " + std::to_string(length));
    // A response whose check code is wrong is not data.
    if (!check_code_valid(fb)) throw IOError("Error: device response check code invalid.");
    std::int64_t addressed = MewStatic::parse_station(command);
    std::int64_t pos = MewStatic::command_start_position(fb);
    if (addressed != responding)
        throw IOError("Error: station not match: expected " + std::to_string(addressed) + ", got " +
                      std::to_string(responding));
    if (MewStatic::is_error(fb))
        throw IOError("MEW communication error code(hex): " + std::string(text::slice(fb, pos, pos + 2)));
    return std::string(text::slice(fb, pos, -3));
}

}  // namespace mew
