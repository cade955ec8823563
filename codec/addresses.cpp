#include "codec/addresses.h"

#include "base/errors.h"
#include "codec/text.h"

namespace mew {

namespace {

// The widest number each form's frame field has room for: three word digits
// before a contact's bit, four for a word of contacts or a timer, five for a
// register.
constexpr std::int64_t kLastContactWord = 999;
constexpr std::int64_t kLastWord = 9999;
constexpr std::int64_t kLastRegister = 99999;
constexpr std::int64_t kLastTimer = 9999;

constexpr AddressArea kAreas[] = {
    {"X", AddressForm::kContact, 'X', kLastContactWord}, {"Y", AddressForm::kContact, 'Y', kLastContactWord},
    {"R", AddressForm::kContact, 'R', kLastContactWord}, {"L", AddressForm::kContact, 'L', kLastContactWord},
    {"WX", AddressForm::kWord, 'X', kLastWord},          {"WY", AddressForm::kWord, 'Y', kLastWord},
    {"WR", AddressForm::kWord, 'R', kLastWord},          {"WL", AddressForm::kWord, 'L', kLastWord},
    {"DT", AddressForm::kRegister, 'D', kLastRegister},  {"LD", AddressForm::kRegister, 'L', kLastRegister},
    {"FL", AddressForm::kRegister, 'F', kLastRegister},  {"S", AddressForm::kRegister, 'S', kLastRegister},
    {"SV", AddressForm::kTimer, 'S', kLastTimer},        {"EV", AddressForm::kTimer, 'E', kLastTimer},
};

// Registers and timers by the letters typed before their number; "D" and
// "F" are the forms with one letter that frames carry.
struct Prefix {
    std::string_view typed;
    std::string_view area;
};
constexpr Prefix kNumberedPrefixes[] = {{"DT", "DT"}, {"LD", "LD"}, {"FL", "FL"}, {"S", "S"},
                                        {"D", "DT"},  {"F", "FL"},  {"SV", "SV"}, {"EV", "EV"}};

const AddressArea &area_named(std::string_view name) {
    for (const AddressArea &area : kAreas)
        if (area.name == name) return area;
    throw ValueError("no address area " + std::string(name));  // the tables above disagree
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

bool all_digits(std::string_view s) {
    for (char c : s)
        if (!is_digit(c)) return false;
    return true;
}

int hex_value(char c) {
    if (is_digit(c)) return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool contact_letter(char c) {
    return c == 'X' || c == 'Y' || c == 'R' || c == 'L';
}

std::size_t digit_count(std::int64_t n) {
    return std::to_string(n).size();
}

// Upper case, blanks around it gone; empty for text that is not ASCII, as
// other scripts' digits and letters are no address's.
std::string normalised(std::string_view text) {
    const std::string_view blanks = " \t\r\n\f\v";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    text = text.substr(first, text.find_last_not_of(blanks) - first + 1);
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (static_cast<unsigned char>(c) > 0x7F) return {};
        out += c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    }
    return out;
}

[[noreturn]] void not_an_address(std::string_view text) {
    throw ValueError(
        "not an address: " + text::repr(text) +
        " (a contact X, Y, R, L like R0010; a word of contacts WX, WY, WR, WL like WX0; a register "
        "DT, LD, FL, S like DT100; a timer or counter value SV, EV like SV0)");
}

std::string padded(std::int64_t n, std::size_t width) {
    std::string digits = std::to_string(n);
    return digits.size() < width ? std::string(width - digits.size(), '0') + digits : digits;
}

}  // namespace

std::string_view address_form_name(AddressForm form) {
    switch (form) {
        case AddressForm::kContact:
            return "contact";
        case AddressForm::kWord:
            return "word";
        case AddressForm::kRegister:
            return "register";
        case AddressForm::kTimer:
            return "timer";
    }
    return "?";
}

std::int64_t MewAddress::last() const {
    return area->form == AddressForm::kContact ? area->last * 16 + 15 : area->last;
}

std::string MewAddress::at(std::int64_t offset) const {
    const std::int64_t n = number + offset;
    switch (area->form) {
        case AddressForm::kContact:
            return prefix + padded(n >> 4, 3) + text::hex(n & 15, 1);
        case AddressForm::kWord:
            return prefix + std::to_string(n);
        default:
            return prefix + padded(n, width);
    }
}

MewAddress parse_address(std::string_view text) {
    const std::string a = normalised(text);
    const std::string_view typed(a);
    MewAddress out;
    std::string_view digits;
    int bit = -1;
    if (a.size() >= 2 && contact_letter(a[0]) && hex_value(a.back()) >= 0 &&
        all_digits(typed.substr(1, a.size() - 2))) {
        out.prefix = a.substr(0, 1);
        out.area = &area_named(out.prefix);
        digits = typed.substr(1, a.size() - 2);
        bit = hex_value(a.back());
    } else if (a.size() >= 3 && a[0] == 'W' && contact_letter(a[1]) && all_digits(typed.substr(2))) {
        out.prefix = a.substr(0, 2);
        out.area = &area_named(out.prefix);
        digits = typed.substr(2);
    } else {
        const std::size_t letters = a.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ");
        if (letters == std::string::npos || letters == 0 || !all_digits(typed.substr(letters)))
            not_an_address(text);
        for (const Prefix &p : kNumberedPrefixes)
            if (typed.substr(0, letters) == p.typed) out.area = &area_named(p.area);
        if (!out.area) not_an_address(text);
        out.prefix = a.substr(0, letters);
        digits = typed.substr(letters);
    }
    // The length first: the digits may be thousands long.
    const std::size_t most = digit_count(out.area->last);
    std::string_view significant = digits.substr(std::min(digits.find_first_not_of('0'), digits.size()));
    const bool in_range = significant.size() <= most &&
                          (significant.empty() ? 0 : std::stoll(std::string(significant))) <= out.area->last;
    out.width = std::max<std::size_t>(1, std::min(digits.size(), most));
    if (!in_range) {
        out.number = 0;
        throw ValueError("address out of range: " + text::repr(text) + " (" + out.last_name() +
                         " is the last " + std::string(address_form_name(out.area->form)) + ")");
    }
    const std::int64_t value = significant.empty() ? 0 : std::stoll(std::string(significant));
    out.number = bit >= 0 ? value * 16 + bit : value;
    return out;
}

}  // namespace mew
