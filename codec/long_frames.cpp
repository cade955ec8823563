#include "codec/long_frames.h"

#include <cctype>

#include "base/errors.h"
#include "codec/frames.h"
#include "codec/mew_static.h"
#include "codec/text.h"

namespace mew::frames {

namespace {

constexpr std::int64_t kStationChars = 2;
// "&" and CR.
constexpr std::size_t kContinuedTail = 2;
// Check code and CR.
constexpr std::size_t kTail = static_cast<std::size_t>(kTailField);

bool is_head(char c) {
    return c == MewStatic::HEAD || c == kExtendedHead;
}

bool check_code_right(std::string_view frame) {
    try {
        return MewStatic::crc_is_ok(frame);
    } catch (const ValueError &) {
        return false;
    }
}

// The header and station of a frame: everything before its type character.
std::string_view station_head(std::string_view frame) {
    std::int64_t type_at = MewStatic::station_end_offset(frame);
    if (type_at <= 0) return {};
    return frame.substr(0, static_cast<std::size_t>(type_at));
}

}  // namespace

void check_frame_limit(std::int64_t limit) {
    if (limit != kNoFrameLimit && limit != kShortFrameLimit && limit != kLongFrameLimit)
        throw ValueError("frame limit must be 0 (none), 118 or 2048: " + std::to_string(limit));
}

char header_for(std::int64_t frame_limit) {
    return frame_limit == kLongFrameLimit ? kExtendedHead : MewStatic::HEAD;
}

std::int64_t station_field_value(std::int64_t station, bool decimal) {
    if (!decimal || station == kStationEE) return station;
    if (station < 0 || station > kLargestDecimalStation)
        throw ValueError("station out of range 0..99 (or EE) in decimal numbering: " +
                         std::to_string(station));
    return station / 10 * 16 + station % 10;
}

std::string with_header(std::string_view frame, char head) {
    if (frame.empty() || frame[0] == head) return std::string(frame);
    std::string out(frame);
    out[0] = head;
    if (out.size() < 3 || out.back() != MewStatic::TAIL) return out;
    const bool continued = is_continued(out);
    const std::size_t tail = continued ? 4 : 3;
    if (out.size() < tail + 1) return out;
    std::string_view check = std::string_view(out).substr(out.size() - tail, 2);
    if (check == "**") return out;
    std::string body = out.substr(0, out.size() - tail);
    std::string rebuilt = MewStatic::append_tail(body);
    if (continued) rebuilt.insert(rebuilt.size() - 1, 1, kContinued);
    return rebuilt;
}

bool has_type(std::string_view frame) {
    std::int64_t type_at = MewStatic::station_end_offset(frame);
    return type_at >= 0 && static_cast<std::size_t>(type_at) < frame.size();
}

bool is_continued(std::string_view frame) {
    return frame.size() >= kContinuedTail && frame[frame.size() - 1] == MewStatic::TAIL &&
           frame[frame.size() - 2] == kContinued;
}

std::string without_continued_mark(std::string_view frame) {
    std::string out(frame);
    if (is_continued(frame)) out.erase(out.size() - kContinuedTail, 1);
    return out;
}

std::string continuation_request(std::string_view response) {
    std::string head(station_head(response));
    return MewStatic::append_tail(head).insert(head.size() + 2, 1, kContinued);
}

std::string continuation_data(std::string_view command, std::string_view frame) {
    const std::string plain = without_continued_mark(frame);
    if (plain.empty() || !is_head(plain[0]) || plain[0] != command[0])
        throw IOError("Error: device response format invalid: begin with: " +
                      std::string(text::at(plain, 0)));
    const std::string_view head = station_head(command);
    // Header, station, check code, CR.
    const std::size_t shortest = head.size() + kTail;
    if (plain.size() < shortest)
        throw IOError("Error: device response format invalid: length too small: " +
                      std::to_string(text::length(plain)));
    if (!check_code_right(plain)) throw IOError("Error: device response check code invalid.");
    if (plain.compare(0, head.size(), head) != 0)
        throw IOError("Error: station not match: expected " + std::string(head.substr(1)) + ", got " +
                      plain.substr(1, head.size() - 1));
    return plain.substr(head.size(), plain.size() - shortest);
}

bool is_continuation_request(std::string_view frame) {
    // Header, station, check code, "&", CR.
    constexpr std::size_t kLength = 1 + kStationChars + 2 + kContinuedTail;
    if (frame.size() != kLength || !is_head(frame[0]) || !is_continued(frame)) return false;
    for (std::size_t i = 1; i <= kStationChars; ++i)
        if (!std::isxdigit(static_cast<unsigned char>(frame[i]))) return false;
    return check_code_right(without_continued_mark(frame));
}

std::vector<std::string> split_response(std::string_view response, std::int64_t limit) {
    if (limit <= kNoFrameLimit || static_cast<std::int64_t>(response.size()) <= limit)
        return {std::string(response)};
    const std::string_view head = station_head(response);
    // Every frame ends with its check code, "&" and CR, the last without "&".
    const std::size_t room = static_cast<std::size_t>(limit);
    // Further frames are asked for by a header and two station characters;
    // a response under any other head goes whole.
    if (head.size() != 1 + kStationChars) return {std::string(response)};
    std::string_view body = response.substr(0, response.size() - kTail);
    std::vector<std::string> out;
    auto add = [&](std::string text, bool more) {
        std::string f = MewStatic::append_tail(text);
        if (more) f.insert(f.size() - 1, 1, kContinued);
        out.push_back(std::move(f));
    };
    std::size_t first = room - kTail - 1;
    add(std::string(body.substr(0, first)), true);
    body.remove_prefix(first);
    while (!body.empty()) {
        const std::size_t last_room = room - head.size() - kTail;
        const bool last = body.size() <= last_room;
        const std::size_t take = last ? body.size() : last_room - 1;
        add(std::string(head) + std::string(body.substr(0, take)), !last);
        body.remove_prefix(take);
    }
    return out;
}

}  // namespace mew::frames
