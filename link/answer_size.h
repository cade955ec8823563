// How much data the response to a command holds, as the command fixes it: a
// read of n words is answered with 4n characters, a write with none. A
// master tells its own answer from another command's by it, and ends a
// response that never ends once it has more than this.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace mew {

struct AnswerSize {
    std::int64_t least = 0;
    std::optional<std::int64_t> most;  // nothing: the command fixes no bound

    // Whether `length` characters of data can answer the command.
    bool fits(std::int64_t length) const { return length >= least && (!most || length <= *most); }
};

// The size of the data (after the two-letter code) that answers `command`,
// a complete command frame; no bound at all for a command the codec does
// not know or cannot read.
AnswerSize answer_size(std::string_view command);

}  // namespace mew
