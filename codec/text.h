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
