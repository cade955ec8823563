// Commands of full controllers beside the contact and register ones: several
// contacts at once, the controller's status, timer and counter values, 32-bit
// floats in two registers, and the meanings of the device error codes.
//
//   RCP  count(1) contact(5)...              answer "RC" one "0"/"1" per contact
//   WCP  count(1) (contact(5) value(1))...   answer "WC"
//   RT                                       answer "RT" status (see PlcStatus)
//   RS/RK start(4) end(4)                    answer "RS"/"RK" words: set / elapsed values
//   WS/WK start(4) end(4) words              answer "WS"/"WK"
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace mew::frames {

constexpr std::string_view kReadContacts = "RCP";
constexpr std::string_view kWriteContacts = "WCP";
constexpr std::string_view kReadStatus = "RT";
constexpr std::string_view kReadPresets = "RS";
constexpr std::string_view kWritePresets = "WS";
constexpr std::string_view kReadElapsed = "RK";
constexpr std::string_view kWriteElapsed = "WK";
constexpr std::int64_t kMaxContactsPerCommand = 8;
constexpr std::int64_t kTimerField = 4;  // a timer/counter number, decimal
constexpr std::int64_t kLargestTimer = 9999;
constexpr std::int64_t kStatusField = 2 * 6 + 4;  // six bytes and the self-diagnosis word

// Device error codes: two decimal digits.
constexpr std::string_view kErrorCheckCode = "40";
constexpr std::string_view kErrorFormat = "41";
constexpr std::string_view kErrorNotSupported = "42";
constexpr std::string_view kErrorProcedure = "43";
constexpr std::string_view kErrorParameter = "60";
constexpr std::string_view kErrorData = "61";

// What a device error code means; "unknown error code" for one not listed.
std::string_view device_error_meaning(std::string_view code);

// --- Commands (complete frames; `station` as station_field_value gives it) ---

using ContactValue = std::pair<std::string_view, bool>;
std::string build_read_contacts(std::int64_t station, const std::vector<std::string_view> &names);
std::string build_write_contacts(std::int64_t station, const std::vector<ContactValue> &contacts);
std::string build_read_status(std::int64_t station);
// `code`: kReadPresets or kReadElapsed; kWritePresets or kWriteElapsed.
std::string build_read_timers(std::int64_t station, std::string_view code, std::int64_t start,
                              std::int64_t count);
std::string build_write_timers(std::int64_t station, std::string_view code, std::int64_t start,
                               const std::vector<std::int64_t> &values);

// --- Answers --------------------------------------------------------------------

// The contacts of an RCP answer's code and data ("RC1010"): IOError "Invalid
// feedback format: ..." unless there are exactly `count` digits "0"/"1".
std::vector<bool> decode_contacts(std::string_view code_and_data, std::size_t count);

struct PlcStatus {
    std::int64_t cpu_type = 0;
    std::int64_t version = 0;
    std::int64_t capacity = 0;  // program capacity, K steps
    std::int64_t mode = 0;      // operation mode flags; bit 0: RUN
    std::int64_t link = 0;
    std::int64_t error_flags = 0;
    std::int64_t self_diagnosis = 0;
    bool run() const { return (mode & 1) != 0; }
};
PlcStatus decode_status(std::string_view code_and_data);
std::string status_data(const PlcStatus &status);

// --- 32-bit floats: two words, low word first, IEEE 754 single -----------------

// ValueError for NaN and the infinities (a controller has no use for them and
// they are more likely a fault of the program than a value), OverflowError
// beyond the single-precision range.
std::pair<std::int64_t, std::int64_t> float_words(double value);
double words_float(std::int64_t low, std::int64_t high);

}  // namespace mew::frames
