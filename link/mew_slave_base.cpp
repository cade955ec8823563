#include "link/mew_slave_base.h"

#include <optional>

#include "base/errors.h"
#include "base/runtime.h"
#include "codec/frames.h"
#include "codec/long_frames.h"
#include "codec/mew_static.h"
#include "codec/plc_commands.h"

namespace mew {

std::string list_text(const std::vector<std::int64_t> &values) {
    std::string out = "[";
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i) out += ", ";
        out += std::to_string(values[i]);
    }
    return out + "]";
}

void MewSlaveBase::set_frame_limit(std::int64_t limit) {
    frames::check_frame_limit(limit);
    frame_limit_ = limit;
}

bool MewSlaveBase::transfer_pending() const {
    std::lock_guard<std::mutex> lock(transfer_mutex_);
    return !pending_frames_.empty();
}

std::string MewSlaveBase::answer(std::string_view frame, Transfer &transfer) {
    if (frame_limit_.load() <= 0) return process_request(frame);
    if (frames::is_continuation_request(frame)) {
        std::string head(frame.substr(0, 3));
        if (!frames::addressed_to(head + "#", station_, decimal_stations_.load())) return {};
        if (transfer.empty()) return frames::build_device_error(head, frames::kErrorProcedure);
        std::string next = std::move(transfer.front());
        transfer.pop_front();
        return next;
    }
    if (!transfer.empty() && frames::command_well_formed(frame, true) &&
        frames::addressed_to(frame, station_, decimal_stations_.load())) {
        transfer.clear();
        return frames::build_device_error(frames::response_head(frame), frames::kErrorProcedure);
    }
    std::string response = process_request(frame);
    // A controller answers in frames of its header's size.
    const std::int64_t room = !frame.empty() && frame[0] == frames::kExtendedHead ? frames::kLongFrameLimit
                                                                                  : frames::kShortFrameLimit;
    std::vector<std::string> parts = frames::split_response(response, room);
    transfer.assign(std::make_move_iterator(parts.begin() + 1), std::make_move_iterator(parts.end()));
    return std::move(parts.front());
}

std::string MewSlaveBase::answer(std::string_view frame) {
    // One thread at a time answers on the station's line (the one that
    // reads it, or the worker); the lock is for transfer_pending(), and is
    // not held while the handlers run. The line's transfer is swapped into
    // a queue of this thread's, kept from one answer to the next: a queue
    // made anew costs an allocation even when it stays empty. A handler
    // that answers a frame itself meanwhile gets a queue of its own.
    thread_local Transfer spare;
    thread_local bool spare_in_use = false;
    std::optional<Transfer> own;
    Transfer &transfer = spare_in_use ? own.emplace() : spare;
    // Left empty on every way out, an error's too: frames dropped
    // meanwhile, or a transfer that an error broke off.
    struct Done {
        Transfer &transfer;
        bool &in_use;
        const bool was;
        ~Done() {
            transfer.clear();
            in_use = was;
        }
    } done{transfer, spare_in_use, spare_in_use};
    spare_in_use = true;
    std::uint64_t drops = 0;
    {
        std::lock_guard<std::mutex> lock(transfer_mutex_);
        transfer.swap(pending_frames_);
        drops = transfer_drops_;
    }
    std::string response = answer(frame, transfer);
    {
        std::lock_guard<std::mutex> lock(transfer_mutex_);
        if (drops == transfer_drops_) pending_frames_.swap(transfer);
    }
    return response;
}

void MewSlaveBase::drop_transfer() {
    std::lock_guard<std::mutex> lock(transfer_mutex_);
    pending_frames_.clear();
    ++transfer_drops_;
}

void MewSlaveBase::process_invalid_frame(std::string_view frame) {
    runtime::print_line("Invalid MEW frame: " + std::string(frame));
}

std::string MewSlaveBase::process_request(std::string_view command) {
    if (!frames::command_well_formed(command, frame_limit_.load() > 0)) {
        process_invalid_frame(command);
        return {};
    }
    if (!frames::addressed_to(command, station_, decimal_stations_.load())) {
        runtime::print_line("Ignore other target frame.");
        return {};
    }
    const frames::Command c = frames::parse_command(command);
    std::string data;
    if (c.code == frames::kReadContact) {
        data = on_get_coil(c.name) ? "1" : "0";
    } else if (c.code == frames::kWriteContact) {
        on_set_coil(c.name, c.value);
    } else if (c.code == frames::kReadContactWords) {
        data = frames::words_data(on_get_multi_coil_uint16(c.name, c.count));
    } else if (c.code == frames::kWriteContactWords) {
        on_set_multi_coil_uint16(c.name, c.words);
    } else if (c.code == frames::kReadData) {
        data = frames::words_data(on_get_multi_uint16(c.name, c.count));
    } else if (c.code == frames::kWriteData) {
        on_set_multi_uint16(c.name, c.words);
    } else {
        return frames::build_error_response(frames::response_head(command), MewStatic::PROCESS_UNKNOWN_CMD);
    }
    return frames::build_response(frames::response_head(command), c.code, data);
}

}  // namespace mew
