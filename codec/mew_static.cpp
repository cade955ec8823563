#include "codec/mew_static.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "base/errors.h"
#include "codec/text.h"

namespace mew {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

void append_hex2(std::string &out, std::int64_t value) {
    if (value >= 0 && value < 256) {
        out += kHex[value >> 4];
        out += kHex[value & 15];
    } else {
        out += text::hex(value, 2);
    }
}

std::string decimal(std::int64_t value, std::size_t width) {
    std::string digits = std::to_string(value < 0 ? -(value + 1) + 1ULL : static_cast<std::uint64_t>(value));
    std::string out = value < 0 ? "-" : "";
    std::size_t used = digits.size() + out.size();
    if (used < width) out.append(width - used, '0');
    return out + digits;
}

// The last number of a run of `count` (at least 1) from `first`. The host's
// integers have no bound, the core's end at 64 bits like parse_int's.
std::int64_t range_end(std::int64_t first, std::int64_t count) {
    std::int64_t end;
    if (__builtin_add_overflow(first, count - 1, &end))
        throw OverflowError("range end too large: " + std::to_string(first) + " + " + std::to_string(count) +
                            " - 1");
    return end;
}

// Characters that end a frame or start another one, and anything that is
// not printable ASCII: a name holding one could put a second command on the
// line ("Y1\r%02#WCSY00011**").
struct NameTable {
    bool allowed[256];
    constexpr NameTable() : allowed() {
        for (int c = 0x20; c <= 0x7E; ++c) allowed[c] = true;
        for (char c : {'%', '<', '#', '$', '!', '&'}) allowed[static_cast<unsigned char>(c)] = false;
    }
};
constexpr NameTable kNameTable;

void check_name(std::string_view name) {
    for (unsigned char c : name)
        if (!kNameTable.allowed[c]) throw ValueError("character not allowed in a name: " + text::repr(name));
}

// The widest decimal field a 64-bit number and its padding can need.
constexpr std::size_t kMaxDecimal = 20;

// The digits of a number that is not negative, zero-padded to `width` (at
// most kMaxDecimal), written backwards from `end`; returns where they begin.
char *decimal_digits(char *end, std::uint64_t value, std::size_t width) {
    char *p = end;
    do {
        *--p = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value);
    while (static_cast<std::size_t>(end - p) < width) *--p = '0';
    return p;
}

// The head of a data-area command, all but its data and check code.
void data_area_head(CommandBuffer &head, std::int64_t station, std::string_view cmd,
                    std::string_view reg_start, std::int64_t count) {
    // Printable ASCII from here on: characters are bytes.
    check_name(reg_start);
    head.put(MewStatic::HEAD);
    head.put_hex2(station);
    head.put(MewStatic::QUERY);
    head.put(cmd);
    if (reg_start.size() < 2) throw IndexError();
    const bool digit = reg_start[1] >= '0' && reg_start[1] <= '9';
    std::string_view addr = reg_start.substr(digit ? 1 : 2);
    head.put(reg_start[0]);
    std::int64_t start = text::plain_decimal(addr);
    if (start < 0) start = text::parse_int(addr, 10);
    std::int64_t end = range_end(start, count);
    head.put_decimal(start, 5);
    head.put_decimal(end, 5);
}

// Appends the check code and CR to a frame's text in place.
std::string with_tail(std::string data) {
    unsigned char crc = static_cast<unsigned char>(MewStatic::calc_crc(data));
    data += kHex[crc >> 4];
    data += kHex[crc & 15];
    data += MewStatic::TAIL;
    return data;
}

// A number field of a name, as parse_int(field, 10) reads it.
std::int64_t decimal_field(std::string_view field) {
    const std::int64_t plain = text::plain_decimal(field);
    return plain >= 0 ? plain : text::parse_int(field, 10);
}

// fill_contact_address in place, for an address of printable ASCII.
void append_address(std::string &out, std::string_view address) {
    if (address.size() < 4) out.append(4 - address.size(), '0');
    out.append(address);
}

// The text of a single-contact command up to its check code, with room for
// its value and the check code.
std::string contact_message(std::int64_t station, std::string_view cmd, std::string_view contact) {
    // Printable ASCII from here on: characters are bytes.
    check_name(contact);
    if (contact.empty()) throw IndexError();
    std::string_view address = contact.substr(1);
    std::string data;
    data.reserve(1 + 17 + 1 + cmd.size() + 1 + std::max<std::size_t>(address.size(), 4) + 4);
    data += MewStatic::HEAD;
    append_hex2(data, station);
    data += MewStatic::QUERY;
    data.append(cmd);
    data += contact[0];
    if (address.size() < 4) data.append(4 - address.size(), '0');
    data.append(address);
    return data;
}

}  // namespace

void CommandBuffer::too_long() {
    throw std::length_error("command too long for its buffer");
}

void CommandBuffer::put_hex2(std::int64_t value) {
    if (value >= 0 && value < 256) {
        put(kHex[value >> 4]);
        put(kHex[value & 15]);
    } else {
        put(text::hex(value, 2));
    }
}

void CommandBuffer::put_decimal(std::int64_t value, std::size_t width) {
    constexpr std::size_t kRegisterDigits = 5;
    if (width == kRegisterDigits && value >= 0 && value < 100000 && room() >= kRegisterDigits) {
        // A register number as it nearly always is: five digits, written in
        // place.
        auto v = static_cast<std::uint32_t>(value);
        for (std::size_t i = kRegisterDigits; i-- > 0; v /= 10) end_[i] = static_cast<char>('0' + v % 10);
        end_ += kRegisterDigits;
        return;
    }
    if (value < 0 || width > kMaxDecimal) {
        put(decimal(value, width));
        return;
    }
    char digits[kMaxDecimal];
    const char *p = decimal_digits(digits + kMaxDecimal, static_cast<std::uint64_t>(value), width);
    put(std::string_view(p, static_cast<std::size_t>(digits + kMaxDecimal - p)));
}

void CommandBuffer::put_tail() {
    const auto crc = static_cast<unsigned char>(MewStatic::calc_crc(view()));
    put(kHex[crc >> 4]);
    put(kHex[crc & 15]);
    put(MewStatic::TAIL);
}

std::int64_t MewStatic::calc_crc(std::string_view data, std::int64_t init) {
    // Eight bytes at a time, folded into one at the end.
    const char *p = data.data();
    std::size_t n = data.size();
    std::uint64_t wide = 0;
    for (; n >= 8; p += 8, n -= 8) {
        std::uint64_t chunk;
        std::memcpy(&chunk, p, 8);
        wide ^= chunk;
    }
    wide ^= wide >> 32;
    wide ^= wide >> 16;
    wide ^= wide >> 8;
    auto x = static_cast<unsigned char>(wide);
    for (; n > 0; ++p, --n) x ^= static_cast<unsigned char>(*p);
    return init ^ x;
}

std::string MewStatic::append_tail(std::string_view data) {
    std::int64_t crc = calc_crc(data);
    std::string out;
    out.reserve(data.size() + 3);
    out.append(data);
    out += kHex[crc >> 4];
    out += kHex[crc & 15];
    out += TAIL;
    return out;
}

bool MewStatic::crc_is_ok(std::string_view frame) {
    const text::Indexed text(frame);
    const text::Indexed crc_recv = text.slice(-3, -1);
    std::string_view first = crc_recv.at(0);
    if (first[0] != IGNORE_BCC) {
        std::string_view second = crc_recv.at(1);
        if (second[0] != IGNORE_BCC) {
            std::int64_t received = text::plain_hex(crc_recv.view());
            if (received < 0) received = text::parse_int(crc_recv.view(), 16);
            return received == calc_crc(text.slice(0, -3).view());
        }
    }
    return crc_recv.view() == "**";
}

namespace {

// What the station search makes of each byte: go on, stop without a type
// (CR or "*"), or stop at the frame type.
enum StationStop : unsigned char { kGoOn, kNoType, kType };
struct StationStops {
    StationStop stop[256];
    constexpr StationStops() : stop() {
        for (char c : {MewStatic::TAIL, MewStatic::IGNORE_BCC}) stop[static_cast<unsigned char>(c)] = kNoType;
        for (char c : {MewStatic::QUERY, MewStatic::FEEDBACK, MewStatic::ERROR})
            stop[static_cast<unsigned char>(c)] = kType;
    }
};
constexpr StationStops kStationStops;

}  // namespace

std::int64_t MewStatic::station_end_offset(std::string_view data) {
    for (std::size_t i = 0; i < data.size(); ++i) {
        const StationStop stop = kStationStops.stop[static_cast<unsigned char>(data[i])];
        if (stop == kGoOn) continue;
        return stop == kType ? static_cast<std::int64_t>(i) : -1;
    }
    return static_cast<std::int64_t>(data.size());
}

std::int64_t MewStatic::find_station_end(std::string_view data) {
    std::int64_t b = station_end_offset(data);
    if (b <= 0) return b;
    return static_cast<std::int64_t>(text::char_index(data, static_cast<std::size_t>(b)));
}

std::int64_t MewStatic::command_start_position(std::string_view data) {
    return find_station_end(data) + 1;
}

std::string_view MewStatic::parse_command(std::string_view data) {
    // The code is ASCII whenever it is recognised, so bytes and characters
    // agree on it. Text without a stop character has no code at all.
    auto b = static_cast<std::size_t>(station_end_offset(data) + 1);
    std::string_view cmd = b < data.size() ? data.substr(b, 3) : std::string_view();
    if (cmd == "RCS" || cmd == "WCS" || cmd == "RCC" || cmd == "WCC") return cmd;
    std::string_view two = cmd.substr(0, 2);
    if (two == "RD" || two == "WD") return two;
    return CMD_UNKNOWN;
}

std::string_view MewStatic::frame_type(std::string_view data) {
    std::int64_t b = station_end_offset(data);
    if (b < 0) return text::at(data, -1);
    if (static_cast<std::size_t>(b) >= data.size()) throw IndexError();
    return data.substr(static_cast<std::size_t>(b), 1);
}

bool MewStatic::is_feedback(std::string_view data) {
    return frame_type(data) == std::string_view(&FEEDBACK, 1);
}
bool MewStatic::is_query(std::string_view data) {
    return frame_type(data) == std::string_view(&QUERY, 1);
}
bool MewStatic::is_error(std::string_view data) {
    return frame_type(data) == std::string_view(&ERROR, 1);
}

bool MewStatic::header_matched(std::string_view tx, std::string_view rx) {
    std::int64_t edge = find_station_end(rx);
    if (text::slice(tx, 0, edge) != text::slice(rx, 0, edge)) return false;
    if (text::at(rx, edge) != std::string_view(&FEEDBACK, 1)) return false;
    return text::slice(tx, edge + 1, edge + 3) == text::slice(rx, edge + 1, edge + 3);
}

std::int64_t MewStatic::parse_station(std::string_view data) {
    const std::string_view field = text::slice(data, 1, find_station_end(data));
    const std::int64_t plain = text::plain_hex(field);
    return plain >= 0 ? plain : text::parse_int(field, 16);
}

std::int64_t MewStatic::parse_contact_address(std::string_view address) {
    std::int64_t word = text::parse_int(text::slice(address, 0, 3), 10);
    return word * 16 + text::parse_int(text::at(address, 3), 16);
}

std::int64_t MewStatic::parse_register_address(std::string_view address) {
    const std::int64_t plain = text::plain_decimal(address);
    return plain >= 0 ? plain : text::parse_int(address, 10);
}

std::int64_t MewStatic::parse_uint16(std::string_view data) {
    if (data.size() >= 4) {
        std::int64_t v = try_read_word(data.substr(0, 4));
        if (v >= 0) return v;
    }
    std::string_view low = text::slice(data, 0, 2);
    std::string_view high = text::slice(data, 2, 4);
    std::int64_t h = text::parse_int(high, 16);
    // A signed digit pair ("-5") may be negative, and a negative value must
    // not be shifted; the product is the host's arithmetic shift.
    return (h * 256) | text::parse_int(low, 16);
}

std::int64_t MewStatic::parse_int16(std::string_view data) {
    std::int64_t u = parse_uint16(data);
    return u >= 32768 ? u - 65536 : u;
}

std::int64_t MewStatic::parse_uint32(std::string_view data) {
    std::int64_t low = parse_uint16(text::slice(data, 0, 4));
    std::int64_t high = parse_uint16(text::slice(data, 4, 8));
    return (high * 65536) | low;  // high may be negative, as above
}

std::int64_t MewStatic::parse_int32(std::string_view data) {
    std::int64_t u = parse_uint32(data);
    return u >= 2147483648LL ? u - 4294967296LL : u;
}

std::string MewStatic::fill_header(std::int64_t station, std::string_view cmd) {
    std::string out;
    out.reserve(8 + cmd.size());
    out += HEAD;
    append_hex2(out, station);
    out += QUERY;
    out.append(cmd);
    return out;
}

std::string MewStatic::fill_contact_address(std::string_view data, std::string_view address) {
    std::string out(data);
    std::size_t n = text::is_ascii(address) ? address.size() : text::length(address);
    if (n < 4) out.append(4 - n, '0');
    out.append(address);
    return out;
}

std::string MewStatic::fill_uint16(std::string_view data, std::int64_t value) {
    require(value >= 0);
    std::string out(data);
    append_hex2(out, value & 255);
    append_hex2(out, value >> 8);
    return out;
}

std::string MewStatic::fill_int16(std::string_view data, std::int64_t value) {
    if (value < -32768 || value > 32767) throw StructError("short format requires -32768 <= number <= 32767");
    return fill_uint16(data, value & 0xFFFF);
}

std::string MewStatic::fill_uint32(std::string_view data, std::int64_t value) {
    require(value >= 0);
    return fill_uint16(fill_uint16(data, value & 65535), value >> 16);
}

std::string MewStatic::fill_int32(std::string_view data, std::int64_t value) {
    if (value < -2147483648LL || value > 2147483647LL)
        throw StructError("'i' format requires -2147483648 <= number <= 2147483647");
    return fill_uint32(data, value & 0xFFFFFFFFLL);
}

std::string MewStatic::fill_read_single_point_of_contact_message(std::int64_t station,
                                                                 std::string_view contact) {
    return with_tail(contact_message(station, "RCS", contact));
}

std::string MewStatic::fill_write_single_point_of_contact_message(std::int64_t station,
                                                                  std::string_view contact, bool value) {
    std::string data = contact_message(station, "WCS", contact);
    data += value ? '1' : '0';
    return with_tail(std::move(data));
}

std::string MewStatic::fill_read_word_unit_of_contact_message(std::int64_t station,
                                                              std::string_view contact_start,
                                                              std::optional<std::string_view> contact_end,
                                                              std::optional<std::int64_t> word_count) {
    check_name(contact_start);
    if (contact_end) check_name(*contact_end);
    require(text::at(contact_start, 0) == "W");
    require(!(contact_end && word_count));
    require(contact_end || word_count);
    std::string computed_end;
    std::string_view end_field;
    if (word_count) {
        require(*word_count > 0);
        std::int64_t end = range_end(decimal_field(text::slice_from(contact_start, 2)), *word_count);
        computed_end = std::to_string(end);
        end_field = computed_end;
    } else {
        require(text::at(contact_start, 1) == text::at(*contact_end, 1));
        require(text::parse_int(text::slice_from(*contact_end, 2), 10) >=
                text::parse_int(text::slice_from(contact_start, 2), 10));
        end_field = text::slice_from(*contact_end, 2);
    }
    std::string data = fill_header(station, "RCC");
    data += text::at(contact_start, 1);
    append_address(data, text::slice_from(contact_start, 2));
    append_address(data, end_field);
    return with_tail(std::move(data));
}

std::string MewStatic::fill_write_word_unit_of_contact_message(std::int64_t station,
                                                               std::string_view contact_start,
                                                               const std::vector<std::int64_t> &values) {
    check_name(contact_start);
    require(text::at(contact_start, 0) == "W");
    require(!values.empty());
    std::string data = fill_header(station, "WCC");
    data += text::at(contact_start, 1);
    std::string_view first = text::slice_from(contact_start, 2);
    append_address(data, first);
    std::int64_t end = range_end(decimal_field(first), static_cast<std::int64_t>(values.size()));
    append_address(data, std::to_string(end));
    for (std::int64_t v : values) {
        require(v >= 0);
        append_hex2(data, v & 255);
        append_hex2(data, v >> 8);
    }
    return with_tail(std::move(data));
}

std::string MewStatic::fill_read_data_area_message(std::int64_t station, std::string_view reg_start,
                                                   std::int64_t reg_count) {
    CommandBuffer command;
    write_read_data_area_message(command, station, reg_start, reg_count);
    return std::string(command.view());
}

void MewStatic::write_read_data_area_message(CommandBuffer &out, std::int64_t station,
                                             std::string_view reg_start, std::int64_t reg_count) {
    require(reg_count > 0);
    data_area_head(out, station, "RD", reg_start, reg_count);
    out.put_tail();
}

std::string MewStatic::fill_write_data_area_message(std::int64_t station, std::string_view reg_start,
                                                    const std::vector<std::int64_t> &values) {
    require(!values.empty());
    CommandBuffer head;
    data_area_head(head, station, "WD", reg_start, static_cast<std::int64_t>(values.size()));
    std::string data;
    data.reserve(head.view().size() + 4 * values.size() + 3);
    data.append(head.view());
    for (std::int64_t v : values) {
        require(v >= 0);
        if (v <= 0xFFFF)
            append_word(data, static_cast<std::uint16_t>(v));
        else
            data = fill_uint16(data, v);
    }
    return with_tail(std::move(data));
}

std::string MewStatic::fill_write_single_data_message(std::int64_t station, std::string_view reg,
                                                      std::int64_t value) {
    return fill_write_data_area_message(station, reg, {value});
}

void MewStatic::append_word(std::string &out, std::uint16_t value) {
    out += kHex[(value >> 4) & 15];
    out += kHex[value & 15];
    out += kHex[(value >> 12) & 15];
    out += kHex[(value >> 8) & 15];
}

std::int64_t MewStatic::try_read_word(std::string_view field) {
    // The four plain hexadecimal digits the line carries; any other text is
    // for the caller to read with the full number syntax.
    if (field.size() != 4) return -1;
    const int a = text::hex_digit(field[0]), b = text::hex_digit(field[1]), c = text::hex_digit(field[2]),
              d = text::hex_digit(field[3]);
    if ((a | b | c | d) > 15) return -1;
    return c << 12 | d << 8 | a << 4 | b;
}

}  // namespace mew
