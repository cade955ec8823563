#include "link/mew_slave_base.h"

#include "base/errors.h"
#include "base/runtime.h"
#include "codec/frames.h"
#include "codec/mew_static.h"

namespace mew {

std::string list_text(const std::vector<std::int64_t> &values) {
    std::string out = "[";
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i) out += ", ";
        out += std::to_string(values[i]);
    }
    return out + "]";
}

void MewSlaveBase::process_invalid_frame(std::string_view frame) {
    runtime::print_line("Invalid MEW frame: " + std::string(frame));
}

std::string MewSlaveBase::process_request(std::string_view command) {
    if (!frames::command_well_formed(command)) {
        process_invalid_frame(command);
        return {};
    }
    if (!frames::addressed_to(command, station_)) {
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
