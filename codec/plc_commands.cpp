#include "codec/plc_commands.h"

#include <cmath>
#include <cstring>

#include "base/errors.h"
#include "codec/frames.h"
#include "codec/mew_static.h"
#include "codec/text.h"

namespace mew::frames {

namespace {

struct ErrorMeaning {
    std::string_view code;
    std::string_view meaning;
};

// As controllers of this family document them.
constexpr ErrorMeaning kDeviceErrors[] = {
    {"21", "NACK error (link)"},
    {"22", "WACK error (link)"},
    {"23", "station number overlap (link)"},
    {"24", "transmission error (link)"},
    {"25", "hardware error (link)"},
    {"26", "station number setting error (link)"},
    {"27", "frame too long (link)"},
    {"28", "no response (link)"},
    {"29", "buffer closed (link)"},
    {"30", "time-out error (link)"},
    {"32", "transmission impossible (link)"},
    {"33", "communication stopped (link)"},
    {"36", "no destination (link)"},
    {"38", "other communication error (link)"},
    {"40", "check code error"},
    {"41", "format error"},
    {"42", "command not supported"},
    {"43", "procedure error (a command during a multi-frame transfer)"},
    {"50", "link setting error"},
    {"51", "transmission time-out"},
    {"52", "transmission disabled"},
    {"53", "busy"},
    {"60", "parameter error"},
    {"61", "data error (area or range)"},
    {"62", "registration over"},
    {"63", "mode error"},
    {"64", "external memory error"},
    {"65", "protect error"},
    {"66", "address error"},
    {"67", "missing data"},
    {"68", "rewrite not possible during RUN"},
    {"71", "exclusive access control error"},
};

std::string decimal(std::int64_t value, int width) {
    std::string digits = std::to_string(value);
    return std::string(static_cast<std::size_t>(width) - std::min<std::size_t>(digits.size(), width), '0') +
           digits;
}

// An entry of RCP/WCP: area letter, three word digits, one bit digit, as
// the single-contact commands write it.
void append_contact(std::string &out, std::string_view name) {
    std::string one = MewStatic::fill_read_single_point_of_contact_message(0, name);
    // "%00#RCS" name check CR: the name field as the builder checked and padded it.
    out.append(one, 7, one.size() - 7 - kTailField);
}

void check_contact_count(std::size_t n) {
    if (n < 1 || static_cast<std::int64_t>(n) > kMaxContactsPerCommand)
        throw ValueError("contact count out of range 1..8: " + std::to_string(n));
}

std::string timer_range(std::int64_t station, std::string_view code, std::int64_t start, std::int64_t count) {
    if (count < 1) throw ValueError("count must be at least 1: " + std::to_string(count));
    if (start < 0 || start > kLargestTimer || count > kLargestTimer + 1 - start)
        throw ValueError("timer/counter range out of 0..9999: " + std::to_string(start) + " + " +
                         std::to_string(count));
    std::string data = MewStatic::fill_header(station, code);
    data += decimal(start, kTimerField);
    data += decimal(start + count - 1, kTimerField);
    return data;
}

std::int64_t hex_byte(std::string_view data, std::size_t at) {
    std::int64_t v = MewStatic::try_read_word(std::string(data.substr(at, 2)) + "00");
    if (v < 0) throw IOError("Invalid feedback format: " + std::string(data));
    return v;
}

}  // namespace

std::string_view device_error_meaning(std::string_view code) {
    for (const auto &e : kDeviceErrors)
        if (e.code == code) return e.meaning;
    return "unknown error code";
}

std::string build_read_contacts(std::int64_t station, const std::vector<std::string_view> &names) {
    check_contact_count(names.size());
    std::string data = MewStatic::fill_header(station, kReadContacts);
    data += static_cast<char>('0' + names.size());
    for (std::string_view name : names) append_contact(data, name);
    return MewStatic::append_tail(data);
}

std::string build_write_contacts(std::int64_t station, const std::vector<ContactValue> &contacts) {
    check_contact_count(contacts.size());
    std::string data = MewStatic::fill_header(station, kWriteContacts);
    data += static_cast<char>('0' + contacts.size());
    for (const auto &[name, value] : contacts) {
        append_contact(data, name);
        data += value ? '1' : '0';
    }
    return MewStatic::append_tail(data);
}

std::string build_read_status(std::int64_t station) {
    return MewStatic::append_tail(MewStatic::fill_header(station, kReadStatus));
}

std::string build_read_timers(std::int64_t station, std::string_view code, std::int64_t start,
                              std::int64_t count) {
    return MewStatic::append_tail(timer_range(station, code, start, count));
}

std::string build_write_timers(std::int64_t station, std::string_view code, std::int64_t start,
                               const std::vector<std::int64_t> &values) {
    std::string data = timer_range(station, code, start, static_cast<std::int64_t>(values.size()));
    data += words_data(values);
    return MewStatic::append_tail(data);
}

std::vector<bool> decode_contacts(std::string_view fb, std::size_t count) {
    if (fb.size() != static_cast<std::size_t>(kResponseCodeField) + count)
        throw IOError("Invalid feedback format: " + std::string(fb));
    std::vector<bool> out;
    for (char c : fb.substr(static_cast<std::size_t>(kResponseCodeField))) {
        if (c != '0' && c != '1') throw IOError("Invalid feedback format: " + std::string(fb));
        out.push_back(c == '1');
    }
    return out;
}

PlcStatus decode_status(std::string_view fb) {
    const auto code = static_cast<std::size_t>(kResponseCodeField);
    if (fb.size() < code + static_cast<std::size_t>(kStatusField))
        throw IOError("Invalid feedback format: " + std::string(fb));
    PlcStatus s;
    s.cpu_type = hex_byte(fb, code);
    s.version = hex_byte(fb, code + 2);
    std::string_view capacity = fb.substr(code + 4, 2);
    if (!std::isdigit(static_cast<unsigned char>(capacity[0])) ||
        !std::isdigit(static_cast<unsigned char>(capacity[1])))
        throw IOError("Invalid feedback format: " + std::string(fb));
    s.capacity = (capacity[0] - '0') * 10 + (capacity[1] - '0');
    s.mode = hex_byte(fb, code + 6);
    s.link = hex_byte(fb, code + 8);
    s.error_flags = hex_byte(fb, code + 10);
    s.self_diagnosis = MewStatic::try_read_word(fb.substr(code + 12, 4));
    if (s.self_diagnosis < 0) throw IOError("Invalid feedback format: " + std::string(fb));
    return s;
}

std::string status_data(const PlcStatus &s) {
    std::string out;
    for (std::int64_t byte : {s.cpu_type, s.version}) out += text::hex(byte & 0xFF, 2);
    out += decimal(s.capacity % 100, 2);
    for (std::int64_t byte : {s.mode, s.link, s.error_flags}) out += text::hex(byte & 0xFF, 2);
    MewStatic::append_word(out, static_cast<std::uint16_t>(s.self_diagnosis & 0xFFFF));
    return out;
}

std::pair<std::int64_t, std::int64_t> float_words(double value) {
    if (std::isnan(value) || std::isinf(value))
        throw ValueError("float value must be finite: " + std::string(std::isnan(value) ? "nan" : "inf"));
    // Rounded as the conversion rounds: what still rounds to the largest
    // single is that single.
    float f = static_cast<float>(value);
    if (std::isinf(f)) throw OverflowError("float too large to pack with f format");
    std::uint32_t bits = 0;
    std::memcpy(&bits, &f, sizeof bits);
    return {bits & 0xFFFF, bits >> 16};
}

double words_float(std::int64_t low, std::int64_t high) {
    std::uint32_t bits = static_cast<std::uint32_t>((high & 0xFFFF) << 16 | (low & 0xFFFF));
    float f = 0;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

}  // namespace mew::frames
