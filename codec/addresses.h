// Addresses as a user, a configuration or a tool names them: the one strict
// reading for everything above the codec (the command line, the poller, the
// bridge, the live pages, new API). It knows every area the library speaks
// and how far each area's frame fields reach, and refuses anything else with
// one of two messages: "not an address: ..." for a text that names no area,
// "address out of range: ..." for a number past the area's last.
//
//   contacts            X Y R L       "R0010", "Y1F": word in decimal, then the bit in hexadecimal; words
//   0..999 words of contacts   WX WY WR WL   "WX0": 0..9999 registers           DT LD FL S    "DT100", and
//   "D100", "F5" with one letter as frames carry them: 0..99999 timers, counters    SV EV         set and
//   elapsed values, "SV0": 0..9999
//
// The builders of MewStatic keep their own, looser reading of names; this
// one is for new code.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace mew {

enum class AddressForm { kContact, kWord, kRegister, kTimer };

// One area: its name ("X", "WX", "DT", "SV"), its form, the letter its
// frames carry ('X'; 'D' for DT, 'L' for LD, 'F' for FL, 'S'; 'S' and 'E'
// for SV and EV) and its last word, register or timer number.
struct AddressArea {
    std::string_view name;
    AddressForm form;
    char letter;
    std::int64_t last;
};

struct MewAddress {
    const AddressArea *area = nullptr;
    // The area as it was typed, in upper case: "D" or "DT".
    std::string prefix;
    // A contact's point (word * 16 + bit); the word, register or timer otherwise.
    std::int64_t number = 0;
    // Digits as typed (at most the area's widest number), so a name keeps
    // its zero padding: "DT0100" goes on to "DT0101".
    std::size_t width = 1;

    std::int64_t word() const { return area->form == AddressForm::kContact ? number >> 4 : number; }
    int bit() const { return area->form == AddressForm::kContact ? static_cast<int>(number & 15) : 0; }
    // The last number of the area in the unit of `number`.
    std::int64_t last() const;
    // The name of the address `offset` places on ("R0010" + 1 is "R0011"),
    // in the same form, without a check against the area's end.
    std::string at(std::int64_t offset) const;
    std::string name() const { return at(0); }
    std::string last_name() const { return at(last() - number); }
};

// The address `text` names, in either case, blanks around it ignored.
// ValueError with one of the two messages above otherwise.
MewAddress parse_address(std::string_view text);

// "contact", "word", "register" or "timer".
std::string_view address_form_name(AddressForm form);

}  // namespace mew
