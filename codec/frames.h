// The frames of one exchange, both ways: a command as a slave reads it and
// the response it builds, and a response as a master checks and decodes it.
// The builders of the commands themselves are MewStatic's.
//
//   command   "%" station "#" code fields check CR
//             RCS  contact(5)                     RCC  contact(5) end word(4)
//             WCS  contact(5) value(1)            WCC  contact(5) end word(4) words
//             RD   register(6) end register(5)    WD   register(6) end register(5) words
//   response  "%" station "$" code(2) data check CR, or "%" station "!" error(2) check CR
//
// A word is four hexadecimal digits, the low byte's two first. Fields are
// counted in characters and end where the check code begins.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mew::frames {

using Words = std::vector<std::int64_t>;

// Command codes a slave answers, and the field widths that follow them.
constexpr std::string_view kReadContact = "RCS";
constexpr std::string_view kWriteContact = "WCS";
constexpr std::string_view kReadContactWords = "RCC";
constexpr std::string_view kWriteContactWords = "WCC";
constexpr std::string_view kReadData = "RD";
constexpr std::string_view kWriteData = "WD";
constexpr std::int64_t kContactField = 5;       // device letter, three word digits, one bit digit
constexpr std::int64_t kContactEndField = 4;    // the last word of a range
constexpr std::int64_t kRegisterField = 6;      // area letter, five digits
constexpr std::int64_t kRegisterEndField = 5;   // the last register of a range
constexpr std::int64_t kWordField = 4;          // one data word
constexpr std::int64_t kResponseCodeField = 2;  // "RC", "WD", or an error code
constexpr std::int64_t kTailField = 3;          // check code and CR
// The shortest frame: "%", two station digits, type, two code letters, tail.
constexpr std::int64_t kShortestFrame = 9;

// --- Slave side ---------------------------------------------------------------

// Long enough, with its header and a check code that is right (or "**").
// `extended`: the "<" header is as good as "%".
bool command_well_formed(std::string_view frame, bool extended = false);
// Whether the command names this station; a station field too long for 64
// bits names some other one. With `decimal` the field is the station's
// decimal digits, and "EE" names every station.
bool addressed_to(std::string_view frame, std::int64_t station, bool decimal = false);

// A command as the slave's handlers see it.
struct Command {
    std::string_view code;   // one of the codes above, or MewStatic::CMD_UNKNOWN
    std::string_view name;   // the first contact or register, "X0000", "D00100"
    std::int64_t count = 0;  // read commands: words of the range, end minus start plus one
    bool value = false;      // WCS: the contact's new state
    Words words;             // WCC, WD, WS, WK: the data words, one per word of the range
    // With `plc` below: RS/RK/WS/WK name their first timer ("0000"), RCP and
    // WCP list their contacts and WCP their new states.
    std::vector<std::string_view> names;
    std::vector<bool> values;
};
// Reads the fields of a well-formed command. Throws the codec's errors for
// fields that cannot be read, a data group that is not four hexadecimal
// digits included. `plc`: the commands of full controllers are read too
// (RCP, WCP, RT, RS, WS, RK, WK); otherwise they are unknown.
Command parse_command(std::string_view frame, bool plc = false);

// The response's head: the command up to its type character, the station
// field kept as it came.
std::string response_head(std::string_view frame);
// Complete responses, with check code and CR. `data` is what a read
// answers: "1"/"0" for RCS, words for RCC and RD, nothing for writes.
std::string build_response(std::string_view head, std::string_view code, std::string_view data);
std::string build_error_response(std::string_view head, int error_code);
// An error response with a device error code as controllers send it ("42").
std::string build_device_error(std::string_view head, std::string_view code);
// The data of a word read; ValueError for a value that is no word.
std::string words_data(const Words &values);

// --- Master side --------------------------------------------------------------------

// The code a response to `command` carries: the first two letters of the
// command's code, as a slave builds it; empty for text without one.
std::string response_code_for(std::string_view command);

// Checks a response to `command` in the protocol's order (header, length,
// check code, station, error response) and raises IOError with the fixed
// messages. Returns its code and data (without check code and CR), or
// nothing when it is a well-formed response to some other command. The
// first frame of a longer response (ending in "&") is checked the same way;
// a command under the "<" header is answered under it.
std::optional<std::string> check_response(std::string_view command, std::string_view response);

// The contact's state in an RCS response's code and data ("RC1"): whether
// the first data character is "1"; IndexError when there is none.
bool decode_contact(std::string_view code_and_data);

// The words of a read's code and data ("RD3412..."): IOError "Invalid
// feedback format: ..." unless there are exactly `count` groups of four
// hexadecimal digits.
Words decode_words(const std::string &code_and_data, std::int64_t count);

}  // namespace mew::frames
