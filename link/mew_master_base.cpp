#include "link/mew_master_base.h"

#include <cctype>
#include <cstdint>
#include <vector>

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

// The station of a frame as decimal text, whatever its size. Line noise can
// put any number of digits before the frame type; a field too long for 64
// bits still names a station, only never one a command was built for, so a
// response from it is a response from another station.
std::string station_decimal(std::string_view frame) {
    try {
        return std::to_string(MewStatic::parse_station(frame));
    } catch (const OverflowError &) {
    }
    // parse_station has accepted the syntax: besides the digits there can
    // only be white space, a sign, the x of a 0x prefix and underscores.
    std::string_view field = text::slice(frame, 1, MewStatic::find_station_end(frame));
    constexpr std::uint64_t kBase = 1000000000;
    std::vector<std::uint32_t> limbs;  // base kBase, lowest first
    bool negative = false;
    for (char c : field) {
        negative = negative || c == '-';
        if (!std::isxdigit(static_cast<unsigned char>(c))) continue;
        std::uint64_t carry = static_cast<std::uint64_t>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
        for (auto &limb : limbs) {
            carry += static_cast<std::uint64_t>(limb) * 16;
            limb = static_cast<std::uint32_t>(carry % kBase);
            carry /= kBase;
        }
        if (carry) limbs.push_back(static_cast<std::uint32_t>(carry));
    }
    if (limbs.empty()) return "0";
    std::string out = negative ? "-" : "";
    out += std::to_string(limbs.back());
    for (auto it = limbs.rbegin() + 1; it != limbs.rend(); ++it) {
        std::string part = std::to_string(*it);
        out += std::string(9 - part.size(), '0') + part;
    }
    return out;
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

    std::string responding = station_decimal(fb);
    if (fb.empty() || fb[0] != MewStatic::HEAD)
        throw IOError("Error: device response format invalid: begin with: " + std::string(text::at(fb, 0)));
    std::size_t length = text::length(fb);
    if (length < 9)
        throw IOError("Error: device response format invalid: length too small: " + std::to_string(length));
    // A response whose check code is wrong is not data.
    if (!check_code_valid(fb)) throw IOError("Error: device response check code invalid.");
    std::string addressed = station_decimal(command);
    std::int64_t pos = MewStatic::command_start_position(fb);
    if (addressed != responding)
        throw IOError("Error: station not match: expected " + addressed + ", got " + responding);
    if (MewStatic::is_error(fb))
        throw IOError("MEW communication error code(hex): " + std::string(text::slice(fb, pos, pos + 2)));
    return std::string(text::slice(fb, pos, -3));
}

}  // namespace mew
