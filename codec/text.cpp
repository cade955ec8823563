#include "codec/text.h"

#include <cstring>
#include <limits>

#include "base/errors.h"

namespace mew {

NumberFormatError::NumberFormatError(std::string text_, int base_)
    : ValueError("invalid literal for int() with base " + std::to_string(base_) + ": " + text::repr(text_)),
      text(std::move(text_)),
      base(base_) {}

}  // namespace mew

namespace mew::text {

namespace {

template <class Word>
Word load(const char *p) {
    Word w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

}  // namespace

bool is_ascii(std::string_view s) {
    // Eight bytes at a time, the last eight (or four) read overlapping the
    // ones before: a frame is ASCII, and short, and is asked about often.
    constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
    const char *p = s.data();
    const std::size_t n = s.size();
    std::uint64_t seen = 0;
    if (n >= 8) {
        for (std::size_t i = 0; i + 8 <= n; i += 8) seen |= load<std::uint64_t>(p + i);
        seen |= load<std::uint64_t>(p + n - 8);
    } else if (n >= 4) {
        seen = load<std::uint32_t>(p) | load<std::uint32_t>(p + n - 4);
    } else {
        for (std::size_t i = 0; i < n; ++i) seen |= static_cast<unsigned char>(p[i]);
    }
    return (seen & kHighBits) == 0;
}

std::int64_t plain_hex(std::string_view field) {
    if (field.empty() || field.size() > 15) return -1;
    std::int64_t value = 0;
    for (char c : field) {
        const int d = hex_digit(c);
        if (d > 15) return -1;
        value = value << 4 | d;
    }
    return value;
}

std::int64_t plain_decimal(std::string_view field) {
    if (field.empty() || field.size() > 18) return -1;
    std::int64_t value = 0;
    for (char c : field) {
        if (c < '0' || c > '9') return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

std::size_t length(std::string_view s) {
    if (is_ascii(s)) return s.size();
    std::size_t n = 0;
    for (unsigned char c : s)
        if (!is_continuation(c)) ++n;
    return n;
}

std::size_t byte_offset(std::string_view s, std::size_t i) {
    std::size_t b = 0;
    for (; b < s.size() && i > 0; --i) {
        ++b;
        while (b < s.size() && is_continuation(static_cast<unsigned char>(s[b]))) ++b;
    }
    return b;
}

std::size_t char_index(std::string_view s, std::size_t b) {
    return length(s.substr(0, b));
}

static std::int64_t normalise(std::int64_t i, std::int64_t n) {
    if (i < 0) i += n;
    if (i < 0) return 0;
    return i > n ? n : i;
}

std::string_view at(std::string_view s, std::int64_t i) {
    bool ascii = is_ascii(s);
    auto n = static_cast<std::int64_t>(ascii ? s.size() : length(s));
    if (i < 0) i += n;
    if (i < 0 || i >= n) throw IndexError();
    if (ascii) return s.substr(static_cast<std::size_t>(i), 1);
    std::size_t b = byte_offset(s, static_cast<std::size_t>(i));
    std::size_t e = b + 1;
    while (e < s.size() && is_continuation(static_cast<unsigned char>(s[e]))) ++e;
    return s.substr(b, e - b);
}

std::string_view slice(std::string_view s, std::int64_t start, std::int64_t stop) {
    bool ascii = is_ascii(s);
    auto n = static_cast<std::int64_t>(ascii ? s.size() : length(s));
    start = normalise(start, n);
    stop = normalise(stop, n);
    if (stop <= start) return s.substr(0, 0);
    if (ascii) return s.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(stop - start));
    std::size_t b = byte_offset(s, static_cast<std::size_t>(start));
    std::size_t e = byte_offset(s, static_cast<std::size_t>(stop));
    return s.substr(b, e - b);
}

std::string_view slice_from(std::string_view s, std::int64_t start) {
    return slice(s, start, std::numeric_limits<std::int64_t>::max());
}

std::string_view Indexed::at(std::int64_t i) const {
    if (!ascii_) return text::at(s_, i);
    const auto n = static_cast<std::int64_t>(s_.size());
    if (i < 0) i += n;
    if (i < 0 || i >= n) throw IndexError();
    return s_.substr(static_cast<std::size_t>(i), 1);
}

Indexed Indexed::slice(std::int64_t start, std::int64_t stop) const {
    // A part of other text may well be ASCII: it is looked at again.
    if (!ascii_) return Indexed(text::slice(s_, start, stop));
    const auto n = static_cast<std::int64_t>(s_.size());
    start = normalise(start, n);
    stop = normalise(stop, n);
    if (stop <= start) return Indexed(s_.substr(0, 0), true);
    return Indexed(s_.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(stop - start)), true);
}

Indexed Indexed::slice_from(std::int64_t start) const {
    return slice(start, std::numeric_limits<std::int64_t>::max());
}

static bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

static int digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return 99;
}

std::int64_t parse_int(std::string_view s, int base) {
    auto fail = [&]() -> std::int64_t { throw NumberFormatError(std::string(s), base); };
    std::size_t b = 0, e = s.size();
    while (b < e && is_space(s[b])) ++b;
    while (e > b && is_space(s[e - 1])) --e;
    bool negative = false;
    if (b < e && (s[b] == '+' || s[b] == '-')) negative = s[b++] == '-';
    // After a 0x prefix one underscore may come before the first digit.
    bool underscore_ok = false;
    if (base == 16 && e - b >= 2 && s[b] == '0' && (s[b + 1] == 'x' || s[b + 1] == 'X')) {
        b += 2;
        underscore_ok = true;
    }
    if (b == e) return fail();
    std::uint64_t value = 0;
    bool last_digit = false;
    const std::uint64_t limit =
        static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + (negative ? 1 : 0);
    bool overflow = false;
    for (std::size_t i = b; i < e; ++i) {
        char c = s[i];
        if (c == '_') {
            if (!(last_digit || (underscore_ok && i == b))) return fail();
            last_digit = false;
            continue;
        }
        int d = digit_value(c);
        if (d >= base) return fail();
        if (value > (limit - static_cast<std::uint64_t>(d)) / static_cast<std::uint64_t>(base))
            overflow = true;
        value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
        last_digit = true;
    }
    if (!last_digit) return fail();
    if (overflow) throw OverflowError("number too large: " + std::string(s));
    return negative ? static_cast<std::int64_t>(0 - value) : static_cast<std::int64_t>(value);
}

std::string hex(std::int64_t value, int width) {
    static const char digits[] = "0123456789ABCDEF";
    bool negative = value < 0;
    std::uint64_t v = negative ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    char buf[24];
    int n = 0;
    do {
        buf[n++] = digits[v & 15];
        v >>= 4;
    } while (v);
    std::string out;
    if (negative) out += '-';
    for (int pad = width - n - (negative ? 1 : 0); pad > 0; --pad) out += '0';
    while (n) out += buf[--n];
    return out;
}

}  // namespace mew::text

namespace mew::text {

std::string repr(std::string_view s) {
    bool has_single = s.find('\'') != std::string_view::npos;
    bool has_double = s.find('"') != std::string_view::npos;
    char quote = has_single && !has_double ? '"' : '\'';
    static const char digits[] = "0123456789abcdef";
    std::string out(1, quote);
    for (unsigned char c : s) {
        if (c == static_cast<unsigned char>(quote) || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7F) {
            out += "\\x";
            out += digits[c >> 4];
            out += digits[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    out += quote;
    return out;
}

}  // namespace mew::text
