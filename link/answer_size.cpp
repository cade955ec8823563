#include "link/answer_size.h"

#include <string_view>

#include "codec/frames.h"
#include "codec/mew_static.h"
#include "codec/plc_commands.h"

namespace mew {

namespace {

// The decimal number `digits` spell; -1 when they are not all digits.
std::int64_t number(std::string_view digits) {
    if (digits.empty()) return -1;
    std::int64_t n = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return -1;
        n = n * 10 + (c - '0');
    }
    return n;
}

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

// Every exchange asks this, so it reads the few fields it needs where the
// builders put them, without parsing the whole command.
AnswerSize answer_size(std::string_view command) {
    const std::int64_t type_at = MewStatic::station_end_offset(command);
    if (type_at < 0 || static_cast<std::size_t>(type_at) >= command.size() ||
        command[static_cast<std::size_t>(type_at)] != MewStatic::QUERY)
        return {};
    const std::string_view code = command.substr(static_cast<std::size_t>(type_at) + 1);
    auto exactly = [](std::int64_t n) { return AnswerSize{n, n}; };
    // Words of a range whose first and last numbers stand at `at`, `width`
    // digits each.
    auto words = [&](std::size_t at, std::size_t width) -> AnswerSize {
        const std::int64_t first = number(code.substr(at, width));
        const std::int64_t last = number(code.substr(at + width, width));
        if (first < 0 || last < first) return {};
        return exactly((last - first + 1) * frames::kWordField);
    };
    if (starts_with(code, frames::kReadContact)) return exactly(1);
    if (starts_with(code, frames::kReadContacts)) {
        const std::int64_t n = number(code.substr(3, 1));
        return n < 0 ? AnswerSize{} : exactly(n);
    }
    if (starts_with(code, frames::kReadContactWords)) return words(4, 4);  // device letter, words
    if (starts_with(code, frames::kReadData)) return words(3, 5);          // area letter, registers
    if (starts_with(code, frames::kReadPresets) || starts_with(code, frames::kReadElapsed))
        return words(2, 4);
    // Controllers may append fields of their own to the status.
    if (starts_with(code, frames::kReadStatus)) return {frames::kStatusField, std::nullopt};
    for (std::string_view write : {frames::kWriteContact, frames::kWriteContacts, frames::kWriteContactWords,
                                   frames::kWriteData, frames::kWritePresets, frames::kWriteElapsed})
        if (starts_with(code, write)) return exactly(0);
    return {};
}

}  // namespace mew
