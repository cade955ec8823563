// The frame codec and the text helpers under arbitrary input.
//
// The whole input is one text that every parser and inspection operation
// reads; a line break splits it into the sent and the received frame for
// header_matched; the same bytes, read as a stream of choices, give the
// fields and values of the builders and of the round trips. Properties
// that must hold are checked against small independent references.
#include <fuzzer/FuzzedDataProvider.h>

#include <cctype>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/errors.h"
#include "codec/addresses.h"
#include "codec/frames.h"
#include "codec/long_frames.h"
#include "codec/mew_static.h"
#include "codec/plc_commands.h"
#include "codec/text.h"
#include "fuzz_common.h"

namespace {

using mew::MewStatic;
namespace text = mew::text;
using fuzz::attempt;
using fuzz::attempt_pure;

// The characters of valid UTF-8 text, one view each.
std::vector<std::string_view> chars(std::string_view s) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < s.size()) {
        std::size_t e = i + 1;
        while (e < s.size() && text::is_continuation(static_cast<unsigned char>(s[e]))) ++e;
        out.push_back(s.substr(i, e - i));
        i = e;
    }
    return out;
}

std::string join(const std::vector<std::string_view> &cs, std::int64_t from, std::int64_t to) {
    std::string out;
    for (std::int64_t i = from; i < to; ++i) out.append(cs[static_cast<std::size_t>(i)]);
    return out;
}

// The host's slice bounds.
std::int64_t clamp_index(std::int64_t i, std::int64_t n) {
    if (i < 0) i = i < -n ? 0 : i + n;
    return i > n ? n : i;
}

bool is_hex_digit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

int hex_value(char c) {
    return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
}

std::int64_t reference_station_end(const std::vector<std::string_view> &cs) {
    for (std::size_t i = 0; i < cs.size(); ++i) {
        if (cs[i] == "\r" || cs[i] == "*") return -1;
        if (cs[i] == "#" || cs[i] == "$" || cs[i] == "!") return static_cast<std::int64_t>(i);
    }
    return static_cast<std::int64_t>(cs.size());
}

// Text that is only a number, for the builders' fields.
std::string pick_number(FuzzedDataProvider &in) {
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            return std::to_string(in.ConsumeIntegralInRange<int>(0, 99999));
        case 1:
            return std::to_string(in.ConsumeIntegral<std::int64_t>());
        case 2:
            return std::to_string(std::numeric_limits<std::int64_t>::max() -
                                  in.ConsumeIntegralInRange<int>(0, 3));
        default:
            return fuzz::as_text(in.ConsumeRandomLengthString(12));
    }
}

std::int64_t pick_int(FuzzedDataProvider &in) {
    switch (in.ConsumeIntegralInRange<int>(0, 4)) {
        case 0:
            return in.ConsumeIntegralInRange<std::int64_t>(-3, 300);
        case 1:
            return std::numeric_limits<std::int64_t>::max() - in.ConsumeIntegralInRange<int>(0, 3);
        case 2:
            return std::numeric_limits<std::int64_t>::min() + in.ConsumeIntegralInRange<int>(0, 3);
        case 3:
            return in.ConsumeIntegralInRange<std::int64_t>(0, 0x1FFFF);
        default:
            return in.ConsumeIntegral<std::int64_t>();
    }
}

// --- Text helpers ------------------------------------------------------------

// On any bytes, valid UTF-8 or not: memory safety only, and every view that
// comes back lies inside the text it was cut from.
void raw_text_helpers(std::string_view raw) {
    auto inside = [&](std::string_view part) {
        FUZZ_CHECK(part.empty() ||
                   (part.data() >= raw.data() && part.data() + part.size() <= raw.data() + raw.size()));
    };
    auto n = static_cast<std::int64_t>(text::length(raw));
    for (std::int64_t i : {std::int64_t{0}, std::int64_t{1}, std::int64_t{-1}, n - 1, n, -n}) {
        attempt_pure([&] { inside(text::at(raw, i)); });
        inside(text::slice(raw, i, n));
        inside(text::slice(raw, -i, i + 3));
        inside(text::slice_from(raw, i));
    }
    text::repr(raw);
    attempt_pure([&] { text::parse_int(raw, 10); });
    attempt_pure([&] { text::parse_int(raw, 16); });
}

void text_helpers(const std::string &s, FuzzedDataProvider &in) {
    auto cs = chars(s);
    auto n = static_cast<std::int64_t>(cs.size());
    FUZZ_CHECK(text::length(s) == cs.size());
    FUZZ_CHECK(text::is_ascii(s) == (cs.size() == s.size()));

    for (int k = 0; k < 4; ++k) {
        std::int64_t i = in.ConsumeIntegralInRange<std::int64_t>(-n - 2, n + 2);
        std::int64_t j = in.ConsumeBool() ? in.ConsumeIntegral<std::int64_t>()
                                          : in.ConsumeIntegralInRange<std::int64_t>(-n - 2, n + 2);
        bool in_range = (i >= 0 && i < n) || (i < 0 && i >= -n);
        std::optional<std::string_view> c;
        attempt_pure([&] { c = text::at(s, i); });
        FUZZ_CHECK(c.has_value() == in_range);
        if (c) FUZZ_CHECK(*c == cs[static_cast<std::size_t>(i < 0 ? i + n : i)]);
        std::int64_t a = clamp_index(i, n), b = clamp_index(j, n);
        FUZZ_CHECK(text::slice(s, i, j) == (a < b ? join(cs, a, b) : std::string()));
        FUZZ_CHECK(text::slice_from(s, i) == join(cs, a, n));
        if (a <= n)
            FUZZ_CHECK(text::char_index(s, text::byte_offset(s, static_cast<std::size_t>(a))) ==
                       static_cast<std::size_t>(a));
    }

    std::string r = text::repr(s);
    FUZZ_CHECK(r.size() >= 2 && r.front() == r.back() && (r.front() == '\'' || r.front() == '"'));
    for (char ch : r) FUZZ_CHECK(static_cast<unsigned char>(ch) >= 0x20 && ch != 0x7F);

    for (int base : {10, 16}) {
        std::int64_t v = 0;
        if (attempt_pure([&] { v = text::parse_int(s, base); })) {
            // What was read is a number the formatter writes back the same.
            FUZZ_CHECK(text::parse_int(std::to_string(v), 10) == v);
            FUZZ_CHECK(text::parse_int(text::hex(v, 1), 16) == v);
        }
    }

    // Plain digits: the value is the digits' value, and too many of them
    // overflow instead of wrapping.
    bool digits = !s.empty() && s.size() <= 40;
    for (char ch : s) digits = digits && ch >= '0' && ch <= '9';
    if (digits) {
        unsigned __int128 want = 0;
        for (char ch : s) want = want * 10 + static_cast<unsigned>(ch - '0');
        bool fits = want <= static_cast<unsigned __int128>(std::numeric_limits<std::int64_t>::max());
        std::int64_t got = -1;
        bool ok = attempt_pure([&] { got = text::parse_int(s, 10); });
        FUZZ_CHECK(ok == fits);
        if (ok) FUZZ_CHECK(static_cast<unsigned __int128>(got) == want);
    }
}

// --- Inspection and parsing ----------------------------------------------------

void inspection(const std::string &s) {
    auto cs = chars(s);
    auto n = static_cast<std::int64_t>(cs.size());

    std::int64_t crc = MewStatic::calc_crc(s);
    FUZZ_CHECK(crc >= 0 && crc <= 255);
    FUZZ_CHECK(MewStatic::calc_crc(s, n * 7919) == ((n * 7919) ^ crc));

    // A completed frame always passes its own check.
    std::string tail = MewStatic::append_tail(s);
    FUZZ_CHECK(tail.size() == s.size() + 3 && tail.compare(0, s.size(), s) == 0 && tail.back() == '\r');
    FUZZ_CHECK(is_hex_digit(tail[s.size()]) && is_hex_digit(tail[s.size() + 1]));
    FUZZ_CHECK(!(tail[s.size()] >= 'a') && !(tail[s.size() + 1] >= 'a'));
    bool own = false;
    FUZZ_CHECK(attempt_pure([&] { own = MewStatic::crc_is_ok(tail); }) && own);

    // The check code: the two characters before the last one.
    std::optional<bool> ok;
    bool raised = !attempt_pure([&] { ok = MewStatic::crc_is_ok(s); });
    std::int64_t from = clamp_index(-3, n), to = clamp_index(-1, n);
    if (to - from < 1 || (to - from < 2 && cs[static_cast<std::size_t>(from)] != "*")) {
        FUZZ_CHECK(raised);
    } else {
        std::string code = join(cs, from, to);
        if (code[0] == '*' || code[code.size() - 1] == '*' || cs[static_cast<std::size_t>(from)] == "*") {
            FUZZ_CHECK(ok && *ok == (code == "**"));
        } else if (code.size() == 2 && is_hex_digit(code[0]) && is_hex_digit(code[1])) {
            FUZZ_CHECK(ok && *ok == (hex_value(code[0]) * 16 + hex_value(code[1]) ==
                                     MewStatic::calc_crc(join(cs, 0, from))));
        }
    }

    std::int64_t end = MewStatic::find_station_end(s);
    FUZZ_CHECK(end == reference_station_end(cs));
    FUZZ_CHECK(MewStatic::command_start_position(s) == end + 1);

    std::string_view cmd = MewStatic::parse_command(s);
    std::string code = end >= 0 ? join(cs, std::min(end + 1, n), std::min(end + 4, n))
                                : join(cs, 0, std::min<std::int64_t>(3, n));
    std::string_view want = MewStatic::CMD_UNKNOWN;
    if (code == "RCS" || code == "WCS" || code == "RCC" || code == "WCC")
        want = code;
    else if (code.compare(0, 2, "RD") == 0 || code.compare(0, 2, "WD") == 0)
        want = std::string_view(code).substr(0, 2);
    FUZZ_CHECK(cmd == want);

    std::optional<std::string_view> type;
    attempt_pure([&] { type = MewStatic::frame_type(s); });
    std::int64_t at = end < 0 ? n - 1 : end;
    FUZZ_CHECK(type.has_value() == (at >= 0 && at < n));
    if (type) {
        FUZZ_CHECK(*type == cs[static_cast<std::size_t>(at)]);
        FUZZ_CHECK(MewStatic::is_query(s) == (*type == "#"));
        FUZZ_CHECK(MewStatic::is_feedback(s) == (*type == "$"));
        FUZZ_CHECK(MewStatic::is_error(s) == (*type == "!"));
    } else {
        FUZZ_CHECK(!attempt_pure([&] { MewStatic::is_query(s); }));
    }

    attempt_pure([&] { MewStatic::parse_station(s); });
    attempt_pure([&] { MewStatic::parse_register_address(s); });

    std::int64_t point = 0;
    if (attempt_pure([&] { point = MewStatic::parse_contact_address(s); }) && n >= 4 && s.size() >= 4) {
        bool plain = true;
        for (int i = 0; i < 3; ++i) plain = plain && s[i] >= '0' && s[i] <= '9';
        if (plain && is_hex_digit(s[3]))
            FUZZ_CHECK(point ==
                       ((s[0] - '0') * 100 + (s[1] - '0') * 10 + (s[2] - '0')) * 16 + hex_value(s[3]));
    }

    // Four (eight) plain hexadecimal digits are a word (two words), low byte
    // first, and nothing else.
    auto plain_word = [&](std::size_t at) -> std::optional<std::int64_t> {
        if (s.size() < at + 4) return std::nullopt;
        for (std::size_t i = at; i < at + 4; ++i)
            if (!is_hex_digit(s[i])) return std::nullopt;
        return (hex_value(s[at + 2]) << 12) | (hex_value(s[at + 3]) << 8) | (hex_value(s[at]) << 4) |
               hex_value(s[at + 1]);
    };
    std::int64_t u16 = -1, i16 = 0, u32 = -1, i32 = 0;
    bool got16 = attempt_pure([&] { u16 = MewStatic::parse_uint16(s); });
    bool goti16 = attempt_pure([&] { i16 = MewStatic::parse_int16(s); });
    FUZZ_CHECK(got16 == goti16);
    if (got16) FUZZ_CHECK(i16 == (u16 >= 32768 ? u16 - 65536 : u16));
    if (auto w = plain_word(0)) {
        FUZZ_CHECK(got16 && u16 == *w);
        if (auto h = plain_word(4)) {
            bool got32 = attempt_pure([&] { u32 = MewStatic::parse_uint32(s); });
            FUZZ_CHECK(got32 && u32 == (*h << 16 | *w));
            FUZZ_CHECK(attempt_pure([&] { i32 = MewStatic::parse_int32(s); }));
            FUZZ_CHECK(i32 == (u32 >= 2147483648LL ? u32 - 4294967296LL : u32));
        }
    }
    attempt_pure([&] { MewStatic::parse_uint32(s); });
    attempt_pure([&] { MewStatic::parse_int32(s); });
}

// The text up to the first line break as the sent frame, the rest as the
// received one.
void header_pair(const std::string &s) {
    std::size_t cut = s.find('\n');
    std::string tx = s.substr(0, cut);
    std::string rx = cut == std::string::npos ? s : s.substr(cut + 1);
    attempt_pure([&] { MewStatic::header_matched(tx, rx); });
    attempt_pure([&] { MewStatic::header_matched(rx, tx); });

    // The sent frame with "$" for its type character is its own response.
    std::int64_t b = MewStatic::station_end_offset(tx);
    if (b >= 0 && static_cast<std::size_t>(b) < tx.size()) {
        std::string echo = tx;
        echo[static_cast<std::size_t>(b)] = MewStatic::FEEDBACK;
        bool matched = false;
        FUZZ_CHECK(attempt_pure([&] { matched = MewStatic::header_matched(tx, echo); }) && matched);
        if (tx[static_cast<std::size_t>(b)] != MewStatic::FEEDBACK) {
            // ... and the sent frame itself is none.
            FUZZ_CHECK(attempt_pure([&] { matched = MewStatic::header_matched(echo, tx); }) && !matched);
        }
    }
}

// --- Builders and round trips ----------------------------------------------------

// A command frame the codec built: complete, its own check code right, a
// command addressed to `station` with code `code`.
void check_built(const std::string &frame, std::int64_t station, std::string_view code) {
    FUZZ_CHECK(frame.size() >= 9 && frame.front() == '%' && frame.back() == '\r');
    bool ok = false;
    FUZZ_CHECK(attempt_pure([&] { ok = MewStatic::crc_is_ok(frame); }) && ok);
    FUZZ_CHECK(MewStatic::is_query(frame));
    FUZZ_CHECK(MewStatic::parse_command(frame) == code);
    std::int64_t parsed = -1;
    FUZZ_CHECK(attempt_pure([&] { parsed = MewStatic::parse_station(frame); }) && parsed == station);
}

void round_trips(FuzzedDataProvider &in) {
    auto u16 = in.ConsumeIntegral<std::uint16_t>();
    FUZZ_CHECK(MewStatic::parse_uint16(MewStatic::fill_uint16("", u16)) == u16);
    auto s16 = in.ConsumeIntegral<std::int16_t>();
    FUZZ_CHECK(MewStatic::parse_int16(MewStatic::fill_int16("", s16)) == s16);
    auto u32 = in.ConsumeIntegral<std::uint32_t>();
    FUZZ_CHECK(MewStatic::parse_uint32(MewStatic::fill_uint32("", u32)) == u32);
    auto s32 = in.ConsumeIntegral<std::int32_t>();
    FUZZ_CHECK(MewStatic::parse_int32(MewStatic::fill_int32("", s32)) == s32);
    std::string field;
    MewStatic::append_word(field, u16);
    FUZZ_CHECK(field == MewStatic::fill_uint16("", u16) && MewStatic::try_read_word(field) == u16);

    std::int64_t v = pick_int(in);
    FUZZ_CHECK(text::parse_int(text::hex(v, in.ConsumeIntegralInRange<int>(0, 20)), 16) == v);
    FUZZ_CHECK(text::parse_int(std::to_string(v), 10) == v);
    std::string prefix = fuzz::as_text(in.ConsumeRandomLengthString(8));
    std::string filled;
    if (attempt_pure([&] { filled = MewStatic::fill_uint16(prefix, v); })) {
        FUZZ_CHECK(v >= 0 && filled.compare(0, prefix.size(), prefix) == 0);
        if (v <= 0xFFFF) FUZZ_CHECK(MewStatic::parse_uint16(filled.substr(prefix.size())) == v);
    } else {
        FUZZ_CHECK(v < 0);
    }
    if (attempt_pure([&] { filled = MewStatic::fill_int16(prefix, v); }))
        FUZZ_CHECK(v >= -32768 && v <= 32767 && MewStatic::parse_int16(filled.substr(prefix.size())) == v);
    if (attempt_pure([&] { filled = MewStatic::fill_uint32(prefix, v); }))
        if (v <= 0xFFFFFFFFLL) FUZZ_CHECK(MewStatic::parse_uint32(filled.substr(prefix.size())) == v);
    if (attempt_pure([&] { filled = MewStatic::fill_int32(prefix, v); }))
        FUZZ_CHECK(MewStatic::parse_int32(filled.substr(prefix.size())) == v);

    std::int64_t station = pick_int(in);
    std::string header = MewStatic::fill_header(station, "RD");
    FUZZ_CHECK(MewStatic::parse_station(header) == station && MewStatic::parse_command(header) == "RD");
    std::size_t pad = 4 - std::min<std::size_t>(4, text::length(prefix));
    FUZZ_CHECK(MewStatic::fill_contact_address("%", prefix) == "%" + std::string(pad, '0') + prefix);
}

void builders(FuzzedDataProvider &in) {
    std::int64_t station =
        in.ConsumeBool() ? in.ConsumeIntegralInRange<std::int64_t>(0, 0x1000) : pick_int(in);
    static const char *const kLetters[] = {"X", "Y", "R",  "L",  "D",  "DT", "LD",
                                           "S", "W", "WX", "WY", "WR", ""};
    std::string letters = in.PickValueInArray(kLetters);
    std::string name =
        in.ConsumeBool() ? letters + pick_number(in) : fuzz::as_text(in.ConsumeRandomLengthString(16));
    std::string other =
        in.ConsumeBool() ? letters + pick_number(in) : fuzz::as_text(in.ConsumeRandomLengthString(16));
    std::int64_t count = pick_int(in);
    std::vector<std::int64_t> values;
    for (int k = in.ConsumeIntegralInRange<int>(0, 5); k > 0; --k)
        values.push_back(in.ConsumeBool() ? in.ConsumeIntegralInRange<std::int64_t>(0, 0xFFFF)
                                          : pick_int(in));
    bool flag = in.ConsumeBool();

    std::string f;
    if (attempt_pure([&] { f = MewStatic::fill_read_single_point_of_contact_message(station, name); }))
        check_built(f, station, "RCS");
    if (attempt_pure([&] { f = MewStatic::fill_write_single_point_of_contact_message(station, name, flag); }))
        check_built(f, station, "WCS");
    if (attempt_pure([&] {
            f = MewStatic::fill_read_word_unit_of_contact_message(station, name, std::nullopt, count);
        }))
        check_built(f, station, "RCC");
    if (attempt_pure([&] {
            f = MewStatic::fill_read_word_unit_of_contact_message(station, name, other, std::nullopt);
        }))
        check_built(f, station, "RCC");
    attempt_pure([&] { MewStatic::fill_read_word_unit_of_contact_message(station, name, other, count); });
    attempt_pure([&] {
        MewStatic::fill_read_word_unit_of_contact_message(station, name, std::nullopt, std::nullopt);
    });
    if (attempt_pure([&] { f = MewStatic::fill_write_word_unit_of_contact_message(station, name, values); }))
        check_built(f, station, "WCC");
    if (attempt_pure([&] { f = MewStatic::fill_read_data_area_message(station, name, count); }))
        check_built(f, station, "RD");
    if (attempt_pure([&] { f = MewStatic::fill_write_data_area_message(station, name, values); }))
        check_built(f, station, "WD");
    if (attempt_pure([&] { f = MewStatic::fill_write_single_data_message(station, name, count); }))
        check_built(f, station, "WD");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::silence_core();
    return 0;
}

// The frames of an exchange both ways: a command the slave reads is
// answered with a response that a master takes as the answer to it, and
// decoded words are always words.
void frames_both_ways(const std::string &s) {
    namespace frames = mew::frames;
    std::optional<frames::Command> command;
    if (frames::command_well_formed(s)) attempt([&] { command = frames::parse_command(s); });
    if (command && command->code != MewStatic::CMD_UNKNOWN) {
        for (std::int64_t w : command->words) FUZZ_CHECK(w >= 0 && w <= 0xFFFF);
        const std::string response = frames::build_response(frames::response_head(s), command->code, "");
        bool ok = false;
        FUZZ_CHECK(attempt_pure([&] { ok = MewStatic::crc_is_ok(response); }) && ok);
        std::optional<std::string> answer;
        if (attempt([&] { answer = frames::check_response(s, response); }))
            FUZZ_CHECK(answer && *answer == command->code.substr(0, 2));
    }
    for (std::int64_t count : {1, 2}) {
        frames::Words words;
        const bool read = attempt([&] { words = frames::decode_words(s, count); });
        if (read) {
            FUZZ_CHECK(static_cast<std::int64_t>(words.size()) == count);
            for (std::int64_t w : words) FUZZ_CHECK(w >= 0 && w <= 0xFFFF);
        }
        // An ASCII code and groups of four plain digits are read, and read
        // as the line means them: low byte first.
        bool plain = s.size() == static_cast<std::size_t>(2 + 4 * count) && text::is_ascii(s.substr(0, 2));
        for (std::size_t i = 2; plain && i < s.size(); ++i)
            plain = std::isxdigit(static_cast<unsigned char>(s[i]));
        if (plain) {
            FUZZ_CHECK(read);
            for (std::int64_t i = 0; read && i < count; ++i) {
                const std::string group = s.substr(static_cast<std::size_t>(2 + 4 * i), 4);
                FUZZ_CHECK(words[static_cast<std::size_t>(i)] ==
                           std::stoll(group.substr(2) + group.substr(0, 2), nullptr, 16));
            }
        }
    }
}

// Long responses: any response cut into frames comes back whole through the
// master's checks, every frame within its limit; and the readers of the
// frames of full controllers take any text without harm.
void long_frames(const std::string &s) {
    namespace frames = mew::frames;
    for (bool extended : {false, true}) {
        frames::Command c;
        if (frames::command_well_formed(s, extended) &&
            attempt([&] { c = frames::parse_command(s, true); })) {
            for (std::int64_t w : c.words) FUZZ_CHECK(w >= 0 && w <= 0xFFFF);
            FUZZ_CHECK(c.values.empty() || c.values.size() == c.names.size());
            FUZZ_CHECK(static_cast<std::int64_t>(c.names.size()) <= frames::kMaxContactsPerCommand);
        }
    }
    attempt([&] { frames::continuation_data("%01#RDD0000000001**\r", s); });
    attempt([&] { frames::decode_status(s); });
    attempt([&] { frames::decode_contacts(s, 2); });
    frames::is_continuation_request(s);
    frames::has_type(s);
    frames::without_continued_mark(s);
    attempt_pure([&] { frames::with_header(s, frames::kExtendedHead); });

    // The text as the data of a read's response, where data is hexadecimal.
    std::string data;
    for (char ch : s)
        if (is_hex_digit(ch)) data += ch;
    for (char head : {MewStatic::HEAD, frames::kExtendedHead}) {
        const std::string command = std::string(1, head) + "01#RDD0000000001**\r";
        const std::string whole = frames::build_response(std::string(1, head) + "01", "RD", data);
        const std::int64_t limit =
            head == MewStatic::HEAD ? frames::kShortFrameLimit : frames::kLongFrameLimit;
        const std::vector<std::string> parts = frames::split_response(whole, limit);
        std::string joined;
        for (std::size_t i = 0; i < parts.size(); ++i) {
            FUZZ_CHECK(static_cast<std::int64_t>(parts[i].size()) <= limit);
            FUZZ_CHECK(frames::is_continued(parts[i]) == (i + 1 < parts.size()));
            if (i == 0) {
                std::optional<std::string> first = frames::check_response(command, parts[0]);
                FUZZ_CHECK(first.has_value());
                joined = *first;
            } else {
                FUZZ_CHECK(!frames::has_type(parts[i]));
                joined += frames::continuation_data(command, parts[i]);
            }
        }
        FUZZ_CHECK(joined == "RD" + data);
        if (parts.size() > 1)
            FUZZ_CHECK(frames::is_continuation_request(frames::continuation_request(parts[0])));
    }
}

// The one reading of addresses: anything it takes reads back the same from
// its name, within its area, and the name of any address in the area is
// taken again; anything it refuses gets one of its two messages.
void addresses(const std::string &s) {
    try {
        const mew::MewAddress a = mew::parse_address(s);
        FUZZ_CHECK(a.area != nullptr && a.number >= 0 && a.number <= a.last());
        const mew::MewAddress again = mew::parse_address(a.name());
        FUZZ_CHECK(again.area == a.area && again.number == a.number && again.name() == a.name());
        FUZZ_CHECK(mew::parse_address(a.last_name()).number == a.last());
        FUZZ_CHECK(a.name().size() <= a.prefix.size() + 5);
    } catch (const mew::ValueError &e) {
        const std::string_view why = e.what();
        FUZZ_CHECK(why.rfind("not an address: ", 0) == 0 || why.rfind("address out of range: ", 0) == 0);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::string_view raw = fuzz::bytes_of(data, size);
    raw_text_helpers(raw);
    const std::string s = fuzz::as_text(raw);
    inspection(s);
    header_pair(s);
    frames_both_ways(s);
    long_frames(s);
    addresses(s);
    FuzzedDataProvider in(data, size);
    text_helpers(s, in);
    round_trips(in);
    builders(in);
    return 0;
}
