#include "simulator/sim_device.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "base/errors.h"
#include "base/runtime.h"
#include "codec/frames.h"
#include "codec/long_frames.h"
#include "codec/mew_static.h"
#include "codec/text.h"

namespace mew {

namespace {

constexpr std::string_view kAreaNames[kSimAreaCount] = {"WX", "WY", "WR", "WL", "DT",
                                                        "LD", "FL", "S",  "SV", "EV"};
// Single contacts as an observer is told them: the area of their word.
constexpr std::string_view kContactNames[] = {"X", "Y", "R", "L"};

std::size_t slot(SimArea area) {
    return static_cast<std::size_t>(area);
}

// The letter of a contact field ("X0000") and of a register field ("D00100").
std::optional<SimArea> contact_letter(char c) {
    switch (c) {
        case 'X':
            return SimArea::kX;
        case 'Y':
            return SimArea::kY;
        case 'R':
            return SimArea::kR;
        case 'L':
            return SimArea::kL;
        default:
            return std::nullopt;
    }
}

std::optional<SimArea> register_letter(char c) {
    switch (c) {
        case 'D':
            return SimArea::kDT;
        case 'L':
            return SimArea::kLD;
        case 'F':
            return SimArea::kFL;
        case 'S':
            return SimArea::kS;
        default:
            return std::nullopt;
    }
}

std::optional<SimArea> letter_of(std::string_view name, std::optional<SimArea> (*by_letter)(char)) {
    return name.empty() ? std::nullopt : by_letter(name[0]);
}

SimArea contact_area_of(std::string_view name) {
    if (auto area = letter_of(name, contact_letter)) return *area;
    throw ValueError("unknown contact area in " + text::repr(name) + " (one of X, Y, R, L)");
}

SimArea register_area_of(std::string_view name) {
    if (auto area = letter_of(name, register_letter)) return *area;
    throw ValueError("unknown register area in " + text::repr(name) + " (one of D, L, F, S)");
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
bool is_hex(char c) {
    return is_digit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}
bool is_letter(char c) {
    return c >= 'A' && c <= 'Z';
}
bool all_of(std::string_view s, bool (*is)(char)) {
    for (char c : s)
        if (!is(c)) return false;
    return true;
}

// A field of decimal digits only, as the checks before have made sure.
std::int64_t digits(std::string_view s) {
    std::int64_t value = 0;
    for (char c : s) value = value * 10 + (c - '0');
    return value;
}

// `count` data words of four hexadecimal digits, and nothing after them.
bool data_words_fit(std::string_view data, std::int64_t count) {
    return static_cast<std::int64_t>(data.size()) == frames::kWordField * count && all_of(data, is_hex);
}

// One contact of RCS, WCS, RCP, WCP: a letter, three word digits, a
// hexadecimal bit digit, and for a write a state "0" or "1".
bool contact_fits(std::string_view field, bool write) {
    if (field.size() != static_cast<std::size_t>(frames::kContactField + (write ? 1 : 0))) return false;
    if (!is_letter(field[0]) || !all_of(field.substr(1, 3), is_digit) || !is_hex(field[4])) return false;
    return !write || field[5] == '0' || field[5] == '1';
}

std::int64_t contact_point(std::string_view name) {
    return MewStatic::parse_contact_address(text::slice_from(name, 1));
}

}  // namespace

// --- PagedWords -----------------------------------------------------------------

std::uint16_t PagedWords::get(std::int64_t index) const {
    auto it = pages_.find(index >> kPageBits);
    if (it == pages_.end()) return 0;
    return (*it->second)[static_cast<std::size_t>(index & ((1 << kPageBits) - 1))];
}

void PagedWords::set(std::int64_t index, std::uint16_t value) {
    auto it = pages_.find(index >> kPageBits);
    if (it == pages_.end()) {
        if (value == 0) return;
        it = pages_.emplace(index >> kPageBits, std::make_unique<Page>()).first;
        it->second->fill(0);
    }
    (*it->second)[static_cast<std::size_t>(index & ((1 << kPageBits) - 1))] = value;
}

// --- The memory -----------------------------------------------------------------

SimDevice::SimDevice(std::int64_t station) : MewSlaveBase(station) {
    // A small controller in RUN mode, without errors.
    status_.cpu_type = 0x03;
    status_.version = 0x12;
    status_.capacity = 16;
    status_.mode = 0x01;
}

SimArea SimDevice::contact_area(std::string_view name) {
    std::string_view letter = name.size() == 2 && name[0] == 'W' ? name.substr(1) : name;
    if (letter.size() == 1)
        if (auto area = contact_letter(letter[0])) return *area;
    throw ValueError("unknown contact area " + text::repr(name) + " (one of X, Y, R, L)");
}

SimArea SimDevice::word_area(std::string_view name) {
    if (name == "SV") return SimArea::kSV;
    if (name == "EV") return SimArea::kEV;
    if (name == "S") return SimArea::kS;
    if (name == "D" || name == "DT") return SimArea::kDT;
    if (name == "L" || name == "LD") return SimArea::kLD;
    if (name == "F" || name == "FL") return SimArea::kFL;
    throw ValueError("unknown register area " + text::repr(name) + " (one of DT, LD, FL, S, SV, EV)");
}

std::int64_t SimDevice::area_size(SimArea area) {
    switch (area) {
        case SimArea::kX:
        case SimArea::kY:
        case SimArea::kR:
        case SimArea::kL:
            return kContactWords;
        case SimArea::kSV:
        case SimArea::kEV:
            return kTimers;
        default:
            return kRegisters;
    }
}

std::string_view SimDevice::area_name(SimArea area) {
    return kAreaNames[slot(area)];
}

namespace {

void check_range(SimArea area, std::int64_t start, std::int64_t count) {
    const std::int64_t size = SimDevice::area_size(area);
    if (start < 0 || count < 0 || start > size || count > size - start)
        throw ValueError(std::string(SimDevice::area_name(area)) + " " + std::to_string(start) + " and " +
                         std::to_string(count) + " after it are outside 0.." + std::to_string(size - 1));
}

}  // namespace

SimDevice::Words SimDevice::read_unlocked(SimArea area, std::int64_t start, std::int64_t count) const {
    const PagedWords &words = memory_[slot(area)];
    Words out(static_cast<std::size_t>(count));
    for (std::int64_t i = 0; i < count; ++i) out[static_cast<std::size_t>(i)] = words.get(start + i);
    return out;
}

void SimDevice::write_unlocked(SimArea area, std::int64_t start, const Words &values) {
    PagedWords &words = memory_[slot(area)];
    std::int64_t at = start;
    for (std::int64_t v : values) words.set(at++, static_cast<std::uint16_t>(v & 0xFFFF));
}

SimDevice::Words SimDevice::read(SimArea area, std::int64_t start, std::int64_t count) const {
    check_range(area, start, count);
    std::lock_guard<std::mutex> lock(memory_mutex_);
    return read_unlocked(area, start, count);
}

void SimDevice::write(SimArea area, std::int64_t start, const Words &values) {
    check_range(area, start, static_cast<std::int64_t>(values.size()));
    std::lock_guard<std::mutex> lock(memory_mutex_);
    write_unlocked(area, start, values);
}

bool SimDevice::contact(SimArea area, std::int64_t point) const {
    check_range(area, point >> 4, 1);
    std::lock_guard<std::mutex> lock(memory_mutex_);
    return (memory_[slot(area)].get(point >> 4) >> (point & 15)) & 1;
}

void SimDevice::set_contact(SimArea area, std::int64_t point, bool value) {
    check_range(area, point >> 4, 1);
    std::lock_guard<std::mutex> lock(memory_mutex_);
    PagedWords &words = memory_[slot(area)];
    const std::uint16_t bit = static_cast<std::uint16_t>(1u << (point & 15));
    const std::uint16_t word = words.get(point >> 4);
    words.set(point >> 4, static_cast<std::uint16_t>(value ? word | bit : word & ~bit));
}

frames::PlcStatus SimDevice::status() const {
    std::lock_guard<std::mutex> lock(memory_mutex_);
    return status_;
}

void SimDevice::set_status(const frames::PlcStatus &status) {
    std::lock_guard<std::mutex> lock(memory_mutex_);
    status_ = status;
}

// --- Observers ----------------------------------------------------------------------

void SimDevice::set_write_observer(Observer observer) {
    SharedObserver fresh = observer ? std::make_shared<const Observer>(std::move(observer)) : nullptr;
    {
        std::lock_guard<std::mutex> lock(observer_mutex_);
        std::swap(write_observer_, fresh);
        observers_ = (write_observer_ ? 1 : 0) + (read_observer_ ? 1 : 0);
    }
    // The one replaced goes here, outside the lock.
}

void SimDevice::set_read_observer(Observer observer) {
    SharedObserver fresh = observer ? std::make_shared<const Observer>(std::move(observer)) : nullptr;
    {
        std::lock_guard<std::mutex> lock(observer_mutex_);
        std::swap(read_observer_, fresh);
        observers_ = (write_observer_ ? 1 : 0) + (read_observer_ ? 1 : 0);
    }
}

SimDevice::SharedObserver SimDevice::observer(const SharedObserver &slot) {
    std::lock_guard<std::mutex> lock(observer_mutex_);
    return slot;
}

void SimDevice::told_read(std::string_view area, std::int64_t start, const Words &values) {
    if (SharedObserver told = observer(read_observer_)) (*told)(area, start, values);
}

void SimDevice::told_write(std::string_view area, std::int64_t start, const Words &values) {
    if (SharedObserver told = observer(write_observer_)) (*told)(area, start, values);
}

// --- The handlers -----------------------------------------------------------------

bool SimDevice::on_get_coil(std::string_view name) {
    const SimArea area = contact_area_of(name);
    const std::int64_t point = contact_point(name);
    const bool value = contact(area, point);
    told_read(kContactNames[slot(area)], point, {value ? 1 : 0});
    return value;
}

void SimDevice::on_set_coil(std::string_view name, bool value) {
    const SimArea area = contact_area_of(name);
    const std::int64_t point = contact_point(name);
    set_contact(area, point, value);
    ++writes_;
    told_write(kContactNames[slot(area)], point, {value ? 1 : 0});
}

SimDevice::Words SimDevice::on_get_multi_coil_uint16(std::string_view name, std::int64_t count) {
    const SimArea area = contact_area_of(name);
    const std::int64_t start = MewStatic::parse_register_address(text::slice_from(name, 1));
    Words values = read(area, start, std::max<std::int64_t>(count, 0));
    told_read(area_name(area), start, values);
    return values;
}

void SimDevice::on_set_multi_coil_uint16(std::string_view name, const Words &values) {
    const SimArea area = contact_area_of(name);
    const std::int64_t start = MewStatic::parse_register_address(text::slice_from(name, 1));
    write(area, start, values);
    ++writes_;
    told_write(area_name(area), start, values);
}

SimDevice::Words SimDevice::on_get_multi_uint16(std::string_view name, std::int64_t count) {
    const SimArea area = register_area_of(name);
    const std::int64_t start = MewStatic::parse_register_address(text::slice_from(name, 1));
    Words values = read(area, start, std::max<std::int64_t>(count, 0));
    told_read(area_name(area), start, values);
    return values;
}

void SimDevice::on_set_multi_uint16(std::string_view name, const Words &values) {
    const SimArea area = register_area_of(name);
    const std::int64_t start = MewStatic::parse_register_address(text::slice_from(name, 1));
    write(area, start, values);
    ++writes_;
    told_write(area_name(area), start, values);
}

// --- Failing as a whole ------------------------------------------------------------

void SimDevice::set_error_code(std::int64_t code) {
    if (code < 0 || code > 99)
        throw ValueError("error code must be 0 (none) to 99, not " + std::to_string(code));
    error_code_ = code;
    // A client of a server drops its own at its next frame.
    if (code != 0) drop_transfer();
}

std::string SimDevice::answer(std::string_view frame, Transfer &transfer) {
    if (silent_.load()) return {};
    const std::int64_t code = error_code_.load();
    if (code == 0) return MewSlaveBase::answer(frame, transfer);
    transfer.clear();
    const std::string digits{static_cast<char>('0' + code / 10), static_cast<char>('0' + code % 10)};
    const bool extended = frame_limit() > 0;
    if (extended && frames::is_continuation_request(frame)) {
        const std::string head(frame.substr(0, 3));
        if (!frames::addressed_to(head + MewStatic::QUERY, station(), decimal_stations())) return {};
        return frames::build_device_error(head, digits);
    }
    if (frames::command_well_formed(frame, extended) &&
        frames::addressed_to(frame, station(), decimal_stations()))
        return frames::build_device_error(frames::response_head(frame), digits);
    // What is no command for this device is met as ever: ignored, or in PLC
    // mode error 40 for a wrong check code.
    return MewSlaveBase::answer(frame, transfer);
}

// --- Commands ---------------------------------------------------------------------

std::string SimDevice::process_request(std::string_view command) {
    if (!plc_.load()) return MewSlaveBase::process_request(command);
    return plc_request(command);
}

// As a controller answers: every command addressed to it gets a response,
// an error response when it cannot be served.
std::string SimDevice::plc_request(std::string_view frame) {
    const bool extended = frame_limit() > 0;
    const bool headed = static_cast<std::int64_t>(frame.size()) >= frames::kShortestFrame &&
                        (frame[0] == MewStatic::HEAD || (extended && frame[0] == frames::kExtendedHead));
    if (!headed || !text::is_ascii(frame)) {
        process_invalid_frame(frame);
        return {};
    }
    if (!frames::addressed_to(frame, station(), decimal_stations())) {
        runtime::print_line("Ignore other target frame.");
        return {};
    }
    const std::string head = frames::response_head(frame);
    if (!frames::command_well_formed(frame, extended))
        return frames::build_device_error(head, frames::kErrorCheckCode);
    frames::Command c;
    try {
        c = frames::parse_command(frame, true);
    } catch (const Error &) {
        return frames::build_device_error(head, frames::kErrorFormat);
    }
    if (c.code == MewStatic::CMD_UNKNOWN) return frames::build_device_error(head, frames::kErrorNotSupported);
    // The fields between the code and the check code.
    const std::size_t from =
        static_cast<std::size_t>(MewStatic::command_start_position(frame)) + c.code.size();
    const std::size_t to = frame.size() - static_cast<std::size_t>(frames::kTailField);
    if (from > to) return frames::build_device_error(head, frames::kErrorFormat);
    const std::string_view body = frame.substr(from, to - from);

    if (c.code == frames::kReadStatus) {
        if (!body.empty()) return frames::build_device_error(head, frames::kErrorFormat);
        return frames::build_response(head, c.code, frames::status_data(status()));
    }
    if (c.code == frames::kReadContact || c.code == frames::kWriteContact) {
        const bool write = c.code == frames::kWriteContact;
        if (!contact_fits(body, write)) return frames::build_device_error(head, frames::kErrorFormat);
        if (!contact_letter(body[0])) return frames::build_device_error(head, frames::kErrorData);
        if (!write) return frames::build_response(head, c.code, on_get_coil(c.name) ? "1" : "0");
        on_set_coil(c.name, c.value);
        return frames::build_response(head, c.code, "");
    }
    if (c.code == frames::kReadContacts || c.code == frames::kWriteContacts)
        return serve_contacts(c, head, body);
    return serve_ranges(c, head, body);
}

// RCP and WCP: up to eight single contacts, read or written at once.
std::string SimDevice::serve_contacts(const frames::Command &c, std::string_view head,
                                      std::string_view body) {
    const bool write = c.code == frames::kWriteContacts;
    const std::size_t entry = static_cast<std::size_t>(frames::kContactField) + (write ? 1 : 0);
    std::vector<std::pair<SimArea, std::int64_t>> points;
    for (std::size_t i = 0; i < c.names.size(); ++i)
        if (!contact_fits(body.substr(1 + i * entry, entry), write))
            return frames::build_device_error(head, frames::kErrorFormat);
    for (std::string_view name : c.names) {
        std::optional<SimArea> area = contact_letter(name[0]);
        if (!area) return frames::build_device_error(head, frames::kErrorData);
        points.emplace_back(*area, contact_point(name));
    }
    std::string data;
    {
        std::lock_guard<std::mutex> lock(memory_mutex_);
        for (std::size_t i = 0; i < points.size(); ++i) {
            auto [area, point] = points[i];
            PagedWords &words = memory_[slot(area)];
            const std::uint16_t bit = static_cast<std::uint16_t>(1u << (point & 15));
            const std::uint16_t word = words.get(point >> 4);
            if (write)
                words.set(point >> 4, static_cast<std::uint16_t>(c.values[i] ? word | bit : word & ~bit));
            else
                data += (word & bit) ? '1' : '0';
        }
    }
    if (write) ++writes_;
    for (std::size_t i = 0; i < points.size(); ++i) {
        auto [area, point] = points[i];
        if (write)
            told_write(kContactNames[slot(area)], point, {c.values[i] ? 1 : 0});
        else
            told_read(kContactNames[slot(area)], point, {data[i] == '1' ? 1 : 0});
    }
    return frames::build_response(head, c.code, data);
}

// A range of words: RCC WCC (contact words), RD WD (registers), RS WS RK WK
// (timer and counter values).
std::string SimDevice::serve_ranges(const frames::Command &c, std::string_view head, std::string_view body) {
    const std::string_view code = c.code;
    const bool contacts = code == frames::kReadContactWords || code == frames::kWriteContactWords;
    const bool registers = code == frames::kReadData || code == frames::kWriteData;
    const bool write = code == frames::kWriteContactWords || code == frames::kWriteData ||
                       code == frames::kWritePresets || code == frames::kWriteElapsed;
    const std::size_t width = static_cast<std::size_t>(contacts    ? frames::kContactEndField
                                                       : registers ? frames::kRegisterEndField
                                                                   : frames::kTimerField);
    const std::size_t letter = contacts || registers ? 1 : 0;
    const std::size_t fixed = letter + 2 * width;
    if (body.size() < fixed || (letter && !is_letter(body[0])) ||
        !all_of(body.substr(letter, 2 * width), is_digit))
        return frames::build_device_error(head, frames::kErrorFormat);

    std::optional<SimArea> area;
    if (contacts)
        area = contact_letter(body[0]);
    else if (registers)
        area = register_letter(body[0]);
    else
        area = code == frames::kReadPresets || code == frames::kWritePresets ? SimArea::kSV : SimArea::kEV;
    const std::int64_t start = digits(body.substr(letter, width));
    const std::int64_t end = digits(body.substr(letter + width, width));
    if (!area || end < start || end >= (contacts ? kPlcContactWords : area_size(*area)))
        return frames::build_device_error(head, frames::kErrorData);
    const std::int64_t count = end - start + 1;
    const std::string_view data = body.substr(fixed);
    if (write ? !data_words_fit(data, count) : !data.empty())
        return frames::build_device_error(head, frames::kErrorFormat);

    if (contacts && write) {
        on_set_multi_coil_uint16(c.name, c.words);
    } else if (contacts) {
        return frames::build_response(head, code,
                                      frames::words_data(on_get_multi_coil_uint16(c.name, count)));
    } else if (registers && write) {
        on_set_multi_uint16(c.name, c.words);
    } else if (registers) {
        return frames::build_response(head, code, frames::words_data(on_get_multi_uint16(c.name, count)));
    } else if (write) {
        SimDevice::write(*area, start, c.words);
        ++writes_;
        told_write(area_name(*area), start, c.words);
    } else {
        Words values = read(*area, start, count);
        told_read(area_name(*area), start, values);
        return frames::build_response(head, code, frames::words_data(values));
    }
    return frames::build_response(head, code, "");
}

}  // namespace mew
