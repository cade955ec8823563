#include "link/answer_size.h"

#include <string_view>

#include "codec/frames.h"
#include "codec/mew_static.h"
#include "codec/plc_commands.h"

namespace mew {

namespace {

// The decimal number of `width` digits at `at` of `code`; -1 when the code
// is shorter or they are not all digits.
std::int64_t number(std::string_view code, std::size_t at, std::size_t width) {
    if (width == 0 || at > code.size() || code.size() - at < width) return -1;
    std::int64_t n = 0;
    for (std::size_t i = at; i < at + width; ++i) {
        const auto d = static_cast<unsigned>(code[i] - '0');
        if (d > 9) return -1;
        n = n * 10 + d;
    }
    return n;
}

// The letters the switch below reads.
static_assert(frames::kReadContact == "RCS" && frames::kReadContacts == "RCP" &&
              frames::kReadContactWords == "RCC" && frames::kReadData == "RD" &&
              frames::kReadPresets == "RS" && frames::kReadElapsed == "RK" && frames::kReadStatus == "RT");
static_assert(frames::kWriteContact == "WCS" && frames::kWriteContacts == "WCP" &&
              frames::kWriteContactWords == "WCC" && frames::kWriteData == "WD" &&
              frames::kWritePresets == "WS" && frames::kWriteElapsed == "WK");

AnswerSize exactly(std::int64_t n) {
    return {n, n};
}

// Words of a range whose first and last numbers stand at `at` of the code,
// `width` digits each.
AnswerSize words(std::string_view code, std::size_t at, std::size_t width) {
    const std::int64_t first = number(code, at, width);
    const std::int64_t last = number(code, at + width, width);
    if (first < 0 || last < first) return {};
    return exactly((last - first + 1) * frames::kWordField);
}

}  // namespace

// Every exchange asks this, so it reads the few fields it needs where the
// builders put them, by the code's letters, without parsing the command.
AnswerSize answer_size(std::string_view command) {
    const std::int64_t type_at = MewStatic::station_end_offset(command);
    if (type_at < 0 || static_cast<std::size_t>(type_at) >= command.size() ||
        command[static_cast<std::size_t>(type_at)] != MewStatic::QUERY)
        return {};
    const std::string_view code = command.substr(static_cast<std::size_t>(type_at) + 1);
    if (code.size() < 2) return {};
    const char third = code.size() > 2 ? code[2] : '\0';
    if (code[0] == 'R') {
        switch (code[1]) {
            case 'C':
                if (third == 'S') return exactly(1);  // RCS
                if (third == 'P') {                   // RCP: a count digit
                    const std::int64_t n = number(code, 3, 1);
                    return n < 0 ? AnswerSize{} : exactly(n);
                }
                if (third == 'C') return words(code, 4, 4);  // RCC: device letter, words
                return {};
            case 'D':  // area letter, registers
                return words(code, 3, 5);
            case 'S':  // RS and RK: timer numbers
            case 'K':
                return words(code, 2, 4);
            case 'T':  // controllers may append fields of their own to the status
                return {frames::kStatusField, std::nullopt};
            default:
                return {};
        }
    }
    if (code[0] == 'W') {
        switch (code[1]) {
            case 'C':  // WCS, WCP, WCC
                return third == 'S' || third == 'P' || third == 'C' ? exactly(0) : AnswerSize{};
            case 'D':  // WD, WS, WK
            case 'S':
            case 'K':
                return exactly(0);
            default:
                return {};
        }
    }
    return {};
}

}  // namespace mew
