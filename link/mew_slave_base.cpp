#include "link/mew_slave_base.h"

#include <cstdlib>

#include "base/errors.h"
#include "base/runtime.h"
#include "codec/mew_static.h"
#include "codec/text.h"

namespace mew {

namespace {

bool well_formed(std::string_view command) {
    if (text::length(command) < 9 || command[0] != MewStatic::HEAD) return false;
    // A check code that is not even a number is as wrong as a wrong one.
    try {
        return MewStatic::crc_is_ok(command);
    } catch (const ValueError &) {
        return false;
    }
}

// A station field too long for 64 bits names some other station.
bool addressed_to(std::string_view command, std::int64_t station) {
    try {
        return MewStatic::parse_station(command) == station;
    } catch (const OverflowError &) {
        return false;
    }
}

// The words a write command carries: `count` groups of four characters. A
// group cut short is no word at all: read as one, a frame broken off by a
// stray CR (whose last two characters happen to pass as its check code)
// would write a value nobody sent.
MewSlaveBase::Words data_words(std::string_view body, std::int64_t from, std::int64_t count) {
    MewSlaveBase::Words values;
    for (std::int64_t i = 0; i < count; ++i) {
        std::string_view group = text::slice(body, from + 4 * i, from + 4 * i + 4);
        if (text::length(group) != 4) throw IndexError();
        std::int64_t word = MewStatic::try_read_word(group);
        if (word < 0) {
            // What the number syntax cannot read fails as it always did;
            // what it can ("-1FF", " 1 2") is no word of the line either.
            MewStatic::parse_uint16(group);
            throw ValueError("invalid data word: " + text::repr(group));
        }
        values.push_back(word);
    }
    return values;
}

// A handler's value that does not fit a word would widen its data field and
// shift every word after it: the command is not answered at all.
void append_words(std::string &out, const MewSlaveBase::Words &values) {
    for (std::int64_t v : values) {
        if (v < 0 || v > 0xFFFF) throw ValueError("word value out of range 0..65535: " + std::to_string(v));
        MewStatic::append_word(out, static_cast<std::uint16_t>(v));
    }
}

}  // namespace

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
    if (!well_formed(command)) {
        process_invalid_frame(command);
        return {};
    }
    if (!addressed_to(command, station_)) {
        runtime::print_line("Ignore other target frame.");
        return {};
    }
    std::string_view cmd = MewStatic::parse_command(command);
    const std::int64_t pos =
        MewStatic::command_start_position(command) + static_cast<std::int64_t>(cmd.size());
    // Fields end where the check code begins: a frame too short for its
    // command fails to parse instead of reading its check code as data.
    const std::string_view body = text::slice(command, 0, -3);
    auto field = [&](std::int64_t from, std::int64_t to) { return text::slice(body, pos + from, pos + to); };
    // Word ranges: the end field minus the start field without its code letter.
    auto range_count = [&](std::int64_t start_len, std::int64_t end_len) {
        std::string_view start = field(0, start_len);
        return MewStatic::parse_register_address(field(start_len, start_len + end_len)) -
               MewStatic::parse_register_address(text::slice_from(start, 1)) + 1;
    };

    std::string data;
    int error = 0;
    if (cmd == "RCS") {
        data = on_get_coil(field(0, 5)) ? "1" : "0";
    } else if (cmd == "WCS") {
        std::string_view name = field(0, 5);
        on_set_coil(name, text::at(body, pos + 5) != "0");
    } else if (cmd == "RCC") {
        append_words(data, on_get_multi_coil_uint16(field(0, 5), range_count(5, 4)));
    } else if (cmd == "WCC") {
        std::int64_t count = range_count(5, 4);
        on_set_multi_coil_uint16(field(0, 5), data_words(body, pos + 9, count));
    } else if (cmd == "RD") {
        append_words(data, on_get_multi_uint16(field(0, 6), range_count(6, 5)));
    } else if (cmd == "WD") {
        std::int64_t count = range_count(6, 5);
        on_set_multi_uint16(field(0, 6), data_words(body, pos + 11, count));
    } else {
        error = MewStatic::PROCESS_UNKNOWN_CMD;
    }

    std::int64_t type_at = MewStatic::station_end_offset(command);
    // Without a type character (the station search met a CR, which the
    // station number may be padded with) the head is the host's slice up to
    // index -1: everything but the last character, the "%" included.
    std::string response(type_at < 0 ? text::slice(command, 0, -1)
                                     : command.substr(0, static_cast<std::size_t>(type_at)));
    if (error) {
        response += MewStatic::ERROR;
        response += text::hex(std::abs(error), 2);
    } else {
        response += MewStatic::FEEDBACK;
        response += cmd.substr(0, 2);
        response += data;
    }
    return MewStatic::append_tail(response);
}

}  // namespace mew
