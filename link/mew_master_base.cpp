#include "link/mew_master_base.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <vector>

#include "base/errors.h"
#include "base/runtime.h"
#include "codec/mew_static.h"
#include "codec/text.h"

namespace mew {

namespace {

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

// The code a response to `command` carries: the first two letters of the
// command's code ("RC" for RCS and RCC, "WD" for WD), as a slave builds it.
// Empty for text without a command code, which is then not compared.
std::string response_code(std::string_view command) {
    std::int64_t type_at = MewStatic::station_end_offset(command);
    if (type_at < 0 || static_cast<std::size_t>(type_at) >= command.size() ||
        command[static_cast<std::size_t>(type_at)] != MewStatic::QUERY)
        return {};
    std::string_view code = command.substr(static_cast<std::size_t>(type_at) + 1, 2);
    return code.size() == 2 && code[1] != MewStatic::TAIL ? std::string(code) : std::string();
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
    if (std::optional<std::string> late = queue.get(left))
        runtime::print_line("MewMasterBase: Drop late response: " + *late);
}

std::string MewMasterBase::exchange(std::string_view cmd) {
    std::string command(cmd);
    if (command.empty() || command.back() != MewStatic::TAIL) command += MewStatic::TAIL;

    Subscription subscription(feedback_listeners());
    drop_late_response(subscription.queue());
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
            throw IOError("MewMasterBase: device response timeout.");
        }
        late.answered = true;
        if (std::optional<std::string> result = answer_of(command, *response)) return *result;
        late.answered = false;
        runtime::print_line("MewMasterBase: Drop response to another command: " + *response);
    }
}

std::optional<std::string> MewMasterBase::answer_of(const std::string &command, const std::string &fb) const {
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
    // A late answer to an earlier command of the same station is as
    // well-formed as the right one; only its code can tell them apart.
    std::string expected = response_code(command);
    if (!expected.empty() && text::slice(fb, pos, pos + 2) != expected) return std::nullopt;
    return std::string(text::slice(fb, pos, -3));
}

}  // namespace mew
