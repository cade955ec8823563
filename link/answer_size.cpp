#include "link/answer_size.h"

#include "codec/frames.h"
#include "codec/plc_commands.h"

namespace mew {

AnswerSize answer_size(std::string_view command) {
    frames::Command c;
    try {
        c = frames::parse_command(command, true);
    } catch (...) {
        return {};
    }
    auto exactly = [](std::int64_t n) { return AnswerSize{n, n}; };
    const std::string_view code = c.code;
    if (code == frames::kReadContact) return exactly(1);
    if (code == frames::kReadContacts) return exactly(static_cast<std::int64_t>(c.names.size()));
    // Controllers may append fields of their own to the status.
    if (code == frames::kReadStatus) return {frames::kStatusField, std::nullopt};
    if (code == frames::kReadContactWords || code == frames::kReadData || code == frames::kReadPresets ||
        code == frames::kReadElapsed) {
        if (c.count < 1 || c.count > (INT64_MAX / frames::kWordField)) return {};
        return exactly(c.count * frames::kWordField);
    }
    if (code == frames::kWriteContact || code == frames::kWriteContactWords || code == frames::kWriteData ||
        code == frames::kWriteContacts || code == frames::kWritePresets || code == frames::kWriteElapsed)
        return exactly(0);
    return {};
}

}  // namespace mew
