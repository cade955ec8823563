// The frame codec: MEWTOCOL-COM constants and stateless frame operations.
//
// A frame is "%", the station in hexadecimal (two digits or more), the frame
// type ("#" command, "$" response, "!" error response), the code, the
// parameters, a two-digit block check (or "**") and CR. Texts are UTF-8; the
// block check is computed over those bytes, everything else counts characters.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mew {

// A command frame written into a buffer of its own, for the commands whose
// length is bounded (the data-area reads): no allocation. std::length_error
// when more is put than it holds.
class CommandBuffer {
public:
    void put(char c) {
        if (room() == 0) too_long();
        *end_++ = c;
    }
    void put(std::string_view s) {
        if (s.size() > room()) too_long();
        std::memcpy(end_, s.data(), s.size());
        end_ += s.size();
    }
    // Upper-case hexadecimal, at least two digits.
    void put_hex2(std::int64_t value);
    // Decimal, zero-padded to `width`.
    void put_decimal(std::int64_t value, std::size_t width);
    // The check code of everything put so far, and CR.
    void put_tail();
    std::string_view view() const { return {chars_, static_cast<std::size_t>(end_ - chars_)}; }

private:
    // "%", a station of up to 17 characters, "#", a code, a letter, two
    // numbers of up to 20 characters, a check code and CR: 65 at most.
    static constexpr std::size_t kCapacity = 80;
    std::size_t room() const { return static_cast<std::size_t>(chars_ + kCapacity - end_); }
    [[noreturn]] static void too_long();
    char chars_[kCapacity];
    char *end_ = chars_;
};

class MewStatic {
public:
    MewStatic() = delete;

    static constexpr int MAX_MULTI_COIL_COUNT = 8;
    static constexpr std::string_view HEX_DIGITS = "0123456789ABCDEF";
    static constexpr std::string_view DEC_DIGITS = "0123456789";
    static constexpr int PROCESS_NONE = -1;
    static constexpr int PROCESS_ERROR = -2;
    static constexpr int PROCESS_UNKNOWN_CMD = -3;
    static constexpr char HEAD = '%';
    static constexpr char TAIL = '\r';
    static constexpr char QUERY = '#';
    static constexpr char ERROR = '!';
    static constexpr char FEEDBACK = '$';
    static constexpr char IGNORE_BCC = '*';
    static constexpr int BROADCAST = 0;
    static constexpr std::string_view CMD_UNKNOWN = "UNKNOWN";

    // Block check: exclusive-or of the bytes, starting from init.
    static std::int64_t calc_crc(std::string_view data, std::int64_t init = 0);
    static bool crc_is_ok(std::string_view frame);
    static std::string append_tail(std::string_view data);

    // Inspection. Indices are character indices.
    static std::int64_t find_station_end(std::string_view data);
    static std::int64_t command_start_position(std::string_view data);
    static std::string_view parse_command(std::string_view data);
    static std::string_view frame_type(std::string_view data);
    static bool is_feedback(std::string_view data);
    static bool is_query(std::string_view data);
    static bool is_error(std::string_view data);
    static bool header_matched(std::string_view tx, std::string_view rx);
    static std::int64_t parse_station(std::string_view data);
    static std::int64_t parse_contact_address(std::string_view address);
    static std::int64_t parse_register_address(std::string_view address);
    static std::int64_t parse_uint16(std::string_view data);
    static std::int64_t parse_int16(std::string_view data);
    static std::int64_t parse_uint32(std::string_view data);
    static std::int64_t parse_int32(std::string_view data);

    // Field fillers: data with one more field appended.
    static std::string fill_header(std::int64_t station, std::string_view cmd);
    static std::string fill_contact_address(std::string_view data, std::string_view address);
    static std::string fill_uint16(std::string_view data, std::int64_t value);
    static std::string fill_int16(std::string_view data, std::int64_t value);
    static std::string fill_uint32(std::string_view data, std::int64_t value);
    static std::string fill_int32(std::string_view data, std::int64_t value);

    // Message builders: complete command frames.
    static std::string fill_read_single_point_of_contact_message(std::int64_t station,
                                                                 std::string_view contact);
    static std::string fill_write_single_point_of_contact_message(std::int64_t station,
                                                                  std::string_view contact, bool value);
    static std::string fill_read_word_unit_of_contact_message(std::int64_t station,
                                                              std::string_view contact_start,
                                                              std::optional<std::string_view> contact_end,
                                                              std::optional<std::int64_t> word_count);
    static std::string fill_write_word_unit_of_contact_message(std::int64_t station,
                                                               std::string_view contact_start,
                                                               const std::vector<std::int64_t> &values);
    static std::string fill_read_data_area_message(std::int64_t station, std::string_view reg_start,
                                                   std::int64_t reg_count);
    // The same frame, written into `out` (empty) instead of a string.
    static void write_read_data_area_message(CommandBuffer &out, std::int64_t station,
                                             std::string_view reg_start, std::int64_t reg_count);
    static std::string fill_write_data_area_message(std::int64_t station, std::string_view reg_start,
                                                    const std::vector<std::int64_t> &values);
    static std::string fill_write_single_data_message(std::int64_t station, std::string_view reg,
                                                      std::int64_t value);

    // Byte offset of the frame-type character, or -1 when the search met CR
    // or "*" first, or the length when there is no stop character.
    static std::int64_t station_end_offset(std::string_view data);

    // The 16-bit data field of a word as the line carries it: low byte first.
    static void append_word(std::string &out, std::uint16_t value);
    // A word read from exactly four hexadecimal digits (either case), low
    // byte first; -1 when the field is anything else.
    static std::int64_t try_read_word(std::string_view field);
};

}  // namespace mew
