// Text as the codec sees it: UTF-8 bytes in a std::string, indexed by
// character the way the host language indexes its strings. Frames are ASCII,
// where a character is a byte; the helpers only do extra work for the rare
// text that holds other characters.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace mew::text {

inline bool is_continuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

bool is_ascii(std::string_view s);

// Values of the hexadecimal digits (either case), 0xFF for every other byte:
// fixed-width fields of the line are read through it.
struct HexTable {
    unsigned char value[256];
    constexpr HexTable() : value() {
        for (int i = 0; i < 256; ++i) value[i] = 0xFF;
        for (int i = 0; i < 10; ++i) value['0' + i] = static_cast<unsigned char>(i);
        for (int i = 0; i < 6; ++i) {
            value['A' + i] = static_cast<unsigned char>(10 + i);
            value['a' + i] = static_cast<unsigned char>(10 + i);
        }
    }
};
inline constexpr HexTable kHexTable;
inline int hex_digit(char c) {
    return kHexTable.value[static_cast<unsigned char>(c)];
}

// A field of nothing but hexadecimal (decimal) digits, one to fifteen
// (eighteen) of them, as parse_int reads it; -1 for any other field, which
// parse_int then reads or refuses as the host would.
std::int64_t plain_hex(std::string_view field);
std::int64_t plain_decimal(std::string_view field);

// Number of characters (code points) in s.
std::size_t length(std::string_view s);

// Byte offset of character index i (0 <= i <= length(s)).
std::size_t byte_offset(std::string_view s, std::size_t i);

// Character index of byte offset b (b on a character boundary).
std::size_t char_index(std::string_view s, std::size_t b);

// s[i] with the host's index rules: negative counts from the end; out of
// range raises IndexError "string index out of range".
std::string_view at(std::string_view s, std::int64_t i);

// s[start:stop] with the host's slice rules (clamped, negative from the end).
std::string_view slice(std::string_view s, std::int64_t start, std::int64_t stop);
std::string_view slice_from(std::string_view s, std::int64_t start);

// A text whose ASCII-ness is decided once. Protocol frames are ASCII: a
// character is then a byte, and every index and slice is a byte offset.
// Other text is indexed by character, as at() and slice() do.
class Indexed {
public:
    explicit Indexed(std::string_view s) : s_(s), ascii_(is_ascii(s)) {}
    std::string_view view() const { return s_; }
    bool ascii() const { return ascii_; }
    // Number of characters.
    std::int64_t size() const { return static_cast<std::int64_t>(ascii_ ? s_.size() : length(s_)); }
    std::string_view at(std::int64_t i) const;
    Indexed slice(std::int64_t start, std::int64_t stop) const;
    Indexed slice_from(std::int64_t start) const;

private:
    Indexed(std::string_view s, bool ascii) : s_(s), ascii_(ascii) {}
    std::string_view s_;
    bool ascii_;
};

// int(s, base) for base 10 or 16, with the host's syntax: surrounding white
// space, a sign, an optional 0x prefix in base 16 and single underscores
// between digits. Raises NumberFormatError for anything else, OverflowError
// when the value does not fit in 64 bits.
std::int64_t parse_int(std::string_view s, int base);

// The value as upper-case hexadecimal, zero-padded to at least `width`
// characters, the minus sign counting towards the width (format "02X").
std::string hex(std::int64_t value, int width = 2);

}  // namespace mew::text

namespace mew::text {

// The host's repr() of a string, for messages that quote text.
std::string repr(std::string_view s);

}  // namespace mew::text
