#include "codec/frames.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "base/errors.h"
#include "codec/long_frames.h"
#include "codec/mew_static.h"
#include "codec/plc_commands.h"
#include "codec/text.h"

namespace mew::frames {

namespace {

// A check code that is not even a number is as wrong as a wrong one.
bool check_code_valid(std::string_view frame) {
    try {
        return MewStatic::crc_is_ok(frame);
    } catch (const ValueError &) {
        return false;
    }
}

// The words a write command carries: `count` groups of four characters from
// `from`. A group cut short is no word at all: read as one, a frame broken
// off by a stray CR (whose last two characters happen to pass as its check
// code) would write a value nobody sent.
Words data_words(const text::Indexed &body, std::int64_t from, std::int64_t count) {
    Words values;
    for (std::int64_t i = 0; i < count; ++i) {
        const text::Indexed field = body.slice(from + kWordField * i, from + kWordField * (i + 1));
        if (field.size() != kWordField) throw IndexError();
        const std::string_view group = field.view();
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

// --- Slave side ---------------------------------------------------------------

bool command_well_formed(std::string_view frame, bool extended) {
    if (static_cast<std::int64_t>(text::length(frame)) < kShortestFrame) return false;
    if (frame[0] != MewStatic::HEAD && !(extended && frame[0] == kExtendedHead)) return false;
    return check_code_valid(frame);
}

bool addressed_to(std::string_view frame, std::int64_t station, bool decimal) {
    std::int64_t field = 0;
    try {
        field = MewStatic::parse_station(frame);
    } catch (const OverflowError &) {
        return false;
    }
    if (!decimal) return field == station;
    if (field == kStationEE) return true;
    // A station the decimal numbering cannot write is never addressed.
    return station >= 0 && station <= kLargestDecimalStation && field == station_field_value(station, true);
}

namespace {

std::string_view plc_code(std::string_view frame) {
    auto b = static_cast<std::size_t>(MewStatic::station_end_offset(frame) + 1);
    std::string_view cmd = b < frame.size() ? frame.substr(b, 3) : std::string_view();
    for (std::string_view code : {kReadContacts, kWriteContacts})
        if (cmd == code) return code;
    for (std::string_view code : {kReadStatus, kReadPresets, kWritePresets, kReadElapsed, kWriteElapsed})
        if (cmd.substr(0, 2) == code) return code;
    return MewStatic::CMD_UNKNOWN;
}

// RCP and WCP: a count digit, then each contact (and for WCP its state).
void parse_contact_list(Command &c, const text::Indexed &body, std::int64_t pos) {
    const std::int64_t n = text::parse_int(body.at(pos), 10);
    if (n < 1 || n > kMaxContactsPerCommand)
        throw ValueError("contact count out of range 1..8: " + std::to_string(n));
    const bool write = c.code == kWriteContacts;
    const std::int64_t entry = kContactField + (write ? 1 : 0);
    if (body.size() != pos + 1 + n * entry) throw IndexError();
    for (std::int64_t i = 0; i < n; ++i) {
        const std::int64_t at = pos + 1 + i * entry;
        c.names.push_back(body.slice(at, at + kContactField).view());
        if (write) c.values.push_back(body.at(at + kContactField) != "0");
    }
}

}  // namespace

Command parse_command(std::string_view frame, bool plc) {
    Command c;
    c.code = MewStatic::parse_command(frame);
    if (c.code == MewStatic::CMD_UNKNOWN && plc) c.code = plc_code(frame);
    if (c.code == MewStatic::CMD_UNKNOWN) return c;
    const std::int64_t pos =
        MewStatic::command_start_position(frame) + static_cast<std::int64_t>(c.code.size());
    // Fields end where the check code begins: a frame too short for its
    // command fails to parse instead of reading its check code as data.
    // Whether the frame is ASCII is decided here once: every field after
    // this is then cut out by byte offset.
    const text::Indexed body = text::Indexed(frame).slice(0, -kTailField);
    auto field = [&](std::int64_t from, std::int64_t to) { return body.slice(pos + from, pos + to).view(); };
    if (c.code == kReadStatus) return c;
    if (c.code == kReadContacts || c.code == kWriteContacts) {
        parse_contact_list(c, body, pos);
        return c;
    }
    if (c.code == kReadPresets || c.code == kReadElapsed || c.code == kWritePresets ||
        c.code == kWriteElapsed) {
        c.name = field(0, kTimerField);
        c.count = MewStatic::parse_register_address(field(kTimerField, 2 * kTimerField)) -
                  MewStatic::parse_register_address(c.name) + 1;
        if (c.code == kWritePresets || c.code == kWriteElapsed)
            c.words = data_words(body, pos + 2 * kTimerField, c.count);
        return c;
    }
    const bool contacts = c.code == kReadContact || c.code == kWriteContact || c.code == kReadContactWords ||
                          c.code == kWriteContactWords;
    const std::int64_t name_field = contacts ? kContactField : kRegisterField;
    c.name = field(0, name_field);
    if (c.code == kReadContact) return c;
    if (c.code == kWriteContact) {
        c.value = body.at(pos + kContactField) != "0";
        return c;
    }
    // A range: the end field minus the start field without its code letter.
    const std::int64_t end_field = contacts ? kContactEndField : kRegisterEndField;
    c.count = MewStatic::parse_register_address(field(name_field, name_field + end_field)) -
              MewStatic::parse_register_address(body.slice(pos + 1, pos + name_field).view()) + 1;
    if (c.code == kWriteContactWords || c.code == kWriteData)
        c.words = data_words(body, pos + name_field + end_field, c.count);
    return c;
}

std::string response_head(std::string_view frame) {
    std::int64_t type_at = MewStatic::station_end_offset(frame);
    // Without a type character (the station search met a CR, which the
    // station number may be padded with) the head is the host's slice up to
    // index -1: everything but the last character, the "%" included.
    return std::string(type_at < 0 ? text::slice(frame, 0, -1)
                                   : frame.substr(0, static_cast<std::size_t>(type_at)));
}

std::string build_response(std::string_view head, std::string_view code, std::string_view data) {
    std::string response(head);
    response += MewStatic::FEEDBACK;
    response += code.substr(0, static_cast<std::size_t>(kResponseCodeField));
    response += data;
    return MewStatic::append_tail(response);
}

std::string build_device_error(std::string_view head, std::string_view code) {
    std::string response(head);
    response += MewStatic::ERROR;
    response += code;
    return MewStatic::append_tail(response);
}

std::string build_error_response(std::string_view head, int error_code) {
    std::string response(head);
    response += MewStatic::ERROR;
    response += text::hex(std::abs(error_code), static_cast<int>(kResponseCodeField));
    return MewStatic::append_tail(response);
}

// A value that does not fit a word would widen its data field and shift
// every word after it: it is refused, and the command goes unanswered.
std::string words_data(const Words &values) {
    std::string out;
    for (std::int64_t v : values) {
        if (v < 0 || v > 0xFFFF) throw ValueError("word value out of range 0..65535: " + std::to_string(v));
        MewStatic::append_word(out, static_cast<std::uint16_t>(v));
    }
    return out;
}

// --- Master side --------------------------------------------------------------------

std::string response_code_for(std::string_view command) {
    std::int64_t type_at = MewStatic::station_end_offset(command);
    if (type_at < 0 || static_cast<std::size_t>(type_at) >= command.size() ||
        command[static_cast<std::size_t>(type_at)] != MewStatic::QUERY)
        return {};
    std::string_view code =
        command.substr(static_cast<std::size_t>(type_at) + 1, static_cast<std::size_t>(kResponseCodeField));
    return code.size() == 2 && code[1] != MewStatic::TAIL ? std::string(code) : std::string();
}

namespace {

// The station field of a frame: one to fifteen plain hexadecimal digits from
// index 1 up to the type character; its value and the type's offset, or
// nothing for any other field (the full check reads that one).
struct PlainStation {
    std::int64_t value;
    std::size_t type_at;
};
std::optional<PlainStation> plain_station(std::string_view frame) {
    constexpr std::size_t kMostDigits = 15;
    std::int64_t value = 0;
    std::size_t i = 1;
    for (; i < frame.size(); ++i) {
        const int d = text::hex_digit(frame[i]);
        if (d > 15) break;
        if (i > kMostDigits) return std::nullopt;
        value = value << 4 | d;
    }
    // No digit is a stop character: the first byte after them is the one
    // the station search stops at, when it stops there at all.
    if (i < 2 || i >= frame.size()) return std::nullopt;
    return PlainStation{value, i};
}

// The check code of `text`, or -1 when it is not all ASCII: both in one
// pass, eight bytes at a time.
int ascii_check_code(std::string_view text) {
    constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
    const char *p = text.data();
    std::size_t n = text.size();
    std::uint64_t sum = 0, seen = 0;
    for (; n >= 8; p += 8, n -= 8) {
        std::uint64_t chunk;
        std::memcpy(&chunk, p, 8);
        sum ^= chunk;
        seen |= chunk;
    }
    for (; n > 0; ++p, --n) {
        const auto byte = static_cast<unsigned char>(*p);
        sum ^= byte;
        seen |= byte;
    }
    if (seen & kHighBits) return -1;
    sum ^= sum >> 32;
    sum ^= sum >> 16;
    sum ^= sum >> 8;
    return static_cast<int>(sum & 0xFF);
}

// check_response for what a device sends nearly always: an ASCII data
// response to the station asked, with plain station digits and a check
// code that is right. Where its code and data begin, or nothing when the
// frame is any other (the full check then gives the same answer, or the
// error). The fields are read where the builders put them, by byte offset.
std::optional<std::size_t> plain_data_response(std::string_view command, std::string_view frame) {
    const std::size_t n = frame.size();
    const char head = !command.empty() && command[0] == kExtendedHead ? kExtendedHead : MewStatic::HEAD;
    if (n < static_cast<std::size_t>(kShortestFrame) || frame[n - 1] != MewStatic::TAIL ||
        frame[n - 2] == kContinued || frame[0] != head)
        return std::nullopt;
    const std::optional<PlainStation> responding = plain_station(frame);
    const std::optional<PlainStation> asked = plain_station(command);
    if (!responding || !asked || responding->value != asked->value) return std::nullopt;
    const std::size_t type_at = responding->type_at, pos = type_at + 1;
    if (frame[type_at] != MewStatic::FEEDBACK || type_at + 3 > n - 3) return std::nullopt;
    // The command's code: two letters after its type character.
    const std::size_t command_at = asked->type_at;
    if (command[command_at] != MewStatic::QUERY || command_at + 2 >= command.size() ||
        command[command_at + 2] == MewStatic::TAIL || command[command_at + 1] != frame[pos] ||
        command[command_at + 2] != frame[pos + 1])
        return std::nullopt;
    const int high = text::hex_digit(frame[n - 3]), low = text::hex_digit(frame[n - 2]);
    // The check code and CR are ASCII once they pass.
    if ((high | low) > 15 || (high << 4 | low) != ascii_check_code(std::string_view(frame.data(), n - 3)))
        return std::nullopt;
    return pos;
}

// check_response for every frame: its messages, its strings. Out of line,
// so that the frame a device nearly always sends pays for none of them.
[[gnu::noinline]] std::optional<std::string> checked_in_full(std::string_view command,
                                                             std::string_view frame) {
    const std::string plain = without_continued_mark(frame);
    const std::string_view fb = plain;
    std::string responding = station_decimal(fb);
    const char head = !command.empty() && command[0] == kExtendedHead ? kExtendedHead : MewStatic::HEAD;
    if (fb.empty() || fb[0] != head)
        throw IOError("Error: device response format invalid: begin with: " + std::string(text::at(fb, 0)));
    std::size_t length = text::length(fb);
    if (static_cast<std::int64_t>(length) < kShortestFrame)
        throw IOError("Error: device response format invalid: length too small: " + std::to_string(length));
    // A response whose check code is wrong is not data.
    if (!check_code_valid(fb)) throw IOError("Error: device response check code invalid.");
    std::string addressed = station_decimal(command);
    std::int64_t pos = MewStatic::command_start_position(fb);
    if (addressed != responding)
        throw IOError("Error: station not match: expected " + addressed + ", got " + responding);
    std::string_view code = text::slice(fb, pos, pos + kResponseCodeField);
    if (MewStatic::is_error(fb)) throw DeviceError(std::string(code));
    // A late answer to an earlier command of the same station is as
    // well-formed as the right one; only its code can tell them apart.
    std::string expected = response_code_for(command);
    if (!expected.empty() && code != expected) return std::nullopt;
    return std::string(text::slice(fb, pos, -kTailField));
}

}  // namespace

std::optional<std::string> check_response(std::string_view command, std::string_view frame) {
    if (const std::optional<std::size_t> pos = plain_data_response(command, frame))
        return std::optional<std::string>(std::in_place, frame.data() + *pos,
                                          frame.size() - kTailField - *pos);
    return checked_in_full(command, frame);
}

bool decode_contact(std::string_view code_and_data) {
    return text::at(code_and_data, kResponseCodeField) == "1";
}

namespace {

// Whether a read's code and data can be what a device sends: an ASCII code
// and room for exactly `count` words. Digits then make all of it ASCII, and
// characters are bytes.
bool plain_words_size(std::string_view fb, std::int64_t count) {
    constexpr auto kCode = static_cast<std::size_t>(kResponseCodeField);
    constexpr auto kWord = static_cast<std::size_t>(kWordField);
    return count >= 0 && fb.size() >= kCode && ((fb[0] | fb[1]) & 0x80) == 0 &&
           (fb.size() - kCode) % kWord == 0 &&
           (fb.size() - kCode) / kWord == static_cast<std::uint64_t>(count);
}

// decode_words for any text: counted by character, every field read with
// the number syntax for its message. Out of line, as check_response's.
[[gnu::noinline]] Words words_in_full(const std::string &fb, std::int64_t count) {
    const text::Indexed data(fb);
    const std::int64_t length = data.size();
    // Compared by division: four times a count near the 64-bit limit does not
    // fit, and no response is that long anyway.
    if (length < kResponseCodeField || (length - kResponseCodeField) % kWordField != 0 ||
        (length - kResponseCodeField) / kWordField != count)
        throw IOError("Invalid feedback format: " + fb);
    Words words(static_cast<std::size_t>(count));
    for (std::int64_t i = 0; i < count; ++i) {
        std::int64_t at = kResponseCodeField + kWordField * i;
        std::int64_t w = data.ascii() ? MewStatic::try_read_word(std::string_view(fb).substr(
                                            static_cast<std::size_t>(at), kWordField))
                                      : -1;
        if (w < 0) {
            // What the number syntax cannot read fails as it always did;
            // what it can ("FF-1", " 1 2") would pass a sign or a blank off
            // as data, so it is no word either.
            std::string joined(data.slice(at + 2, at + 4).view());
            joined += data.slice(at, at + 2).view();
            text::parse_int(joined, 16);
            throw IOError("Invalid feedback format: " + fb);
        }
        words[static_cast<std::size_t>(i)] = w;
    }
    return words;
}

}  // namespace

Words decode_words(const std::string &fb, std::int64_t count) {
    if (plain_words_size(fb, count)) {
        // Each group of four hexadecimal digits through the table, straight
        // into its word; anything else is read in full.
        Words words(static_cast<std::size_t>(count));
        const auto *p = reinterpret_cast<const unsigned char *>(fb.data()) + kResponseCodeField;
        bool plain = true;
        for (std::int64_t &word : words) {
            const unsigned a = text::kHexTable.value[p[0]], b = text::kHexTable.value[p[1]],
                           c = text::kHexTable.value[p[2]], d = text::kHexTable.value[p[3]];
            if ((a | b | c | d) > 15) {
                plain = false;
                break;
            }
            word = static_cast<std::int64_t>(c << 12 | d << 8 | a << 4 | b);
            p += kWordField;
        }
        if (plain) return words;
    }
    return words_in_full(fb, count);
}

}  // namespace mew::frames
