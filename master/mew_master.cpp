#include "master/mew_master.h"

#include <algorithm>

#include "base/errors.h"
#include "codec/frames.h"
#include "codec/long_frames.h"
#include "codec/mew_static.h"
#include "codec/plc_commands.h"
#include "codec/text.h"

namespace mew {

namespace {

std::int64_t signed16(std::int64_t u) {
    return u < 32768 ? u : u - 65536;
}
std::int64_t signed32(std::int64_t u) {
    return u < 2147483648LL ? u : u - 4294967296LL;
}

std::int64_t element(const MewMaster::Words &words, std::size_t i) {
    if (i >= words.size()) throw IndexError("list index out of range");
    return words[i];
}

// A word above 65535 would widen its data field and shift every value after
// it on the device, so it never reaches the builder.
void check_words(const MewMaster::Words &values) {
    for (std::int64_t v : values)
        if (v > 0xFFFF) throw ValueError("word value out of range 0..65535: " + std::to_string(v));
}

// The address `offset` words after `name`: "DT127" for "DT100" and 27, "WX5"
// for "WX3" and 2, "27" for timer "0" and 27. The number follows one letter
// of a register area ("D100") or two ("DT100", "WX3").
std::string offset_address(std::string_view name, MewMaster::AddressKind kind, std::int64_t offset) {
    if (offset == 0) return std::string(name);
    std::size_t prefix = 0;
    if (kind == MewMaster::kContactWords)
        prefix = 2;
    else if (kind == MewMaster::kRegisters)
        prefix = name.size() > 1 && !(name[1] >= '0' && name[1] <= '9') ? 2 : 1;
    if (name.size() < prefix) throw ValueError("invalid address: " + std::string(name));
    return std::string(name.substr(0, prefix)) +
           std::to_string(text::parse_int(name.substr(prefix), 10) + offset);
}

}  // namespace

void MewMaster::set_frame_limit(std::int64_t limit) {
    frames::check_frame_limit(limit);
    frame_limit_ = limit;
}

void MewMaster::set_max_read_words(std::int64_t words) {
    if (words < 0) throw ValueError("max_read_words must not be negative: " + std::to_string(words));
    max_read_words_ = words;
}

frames::LineFormat MewMaster::format() const {
    return {frame_limit_.load(), max_read_words_.load(), decimal_stations_.load()};
}

// A negative station would put a minus sign into the station field; the
// builders take what they are given, the master refuses it.
std::int64_t MewMaster::field(std::int64_t station) const {
    if (station < 0) throw ValueError("station number must not be negative: " + std::to_string(station));
    return frames::station_field_value(station, decimal_stations_.load());
}

std::string_view MewMaster::named(std::string_view name) {
    if (name.empty()) throw ValueError("a name must not be empty");
    return name;
}

std::string MewMaster::ask(std::string_view command) {
    std::string extended;
    if (frame_limit_.load() == frames::kLongFrameLimit) {
        extended = frames::with_header(command, frames::kExtendedHead);
        command = extended;
    }
    try {
        return query(command);
    } catch (ResponseTimeout &e) {
        // The station field spells a decimal station in hexadecimal digits.
        if (decimal_stations_.load() && e.station && *e.station != frames::kStationEE)
            e.station = (*e.station >> 4) * 10 + (*e.station & 0xF);
        throw;
    }
}

template <class ReadPart>
MewMaster::Words MewMaster::read_in_parts(std::string_view name, std::int64_t count, AddressKind kind,
                                          const ReadPart &read) {
    named(name);
    const std::int64_t most = max_read_words_.load();
    if (most <= 0 || count <= most) return read(name, count);
    Words words;
    words.reserve(static_cast<std::size_t>(count));
    for (std::int64_t done = 0; done < count; done += most) {
        const std::string first = offset_address(name, kind, done);
        Words part = read(std::string_view(first), std::min(most, count - done));
        words.insert(words.end(), part.begin(), part.end());
    }
    return words;
}

template <class BuildPart>
void MewMaster::write_in_parts(std::string_view name, const Words &values, AddressKind kind,
                               const BuildPart &build) {
    named(name);
    std::string whole = build(name, values);
    const std::int64_t limit = frame_limit_.load();
    if (limit <= 0 || static_cast<std::int64_t>(whole.size()) <= limit || values.size() < 2) {
        ask(whole);
        return;
    }
    // The same command for fewer words is shorter by four characters a word.
    const auto n = static_cast<std::int64_t>(values.size());
    const std::int64_t overhead = static_cast<std::int64_t>(whole.size()) - frames::kWordField * n;
    const std::int64_t per_command = std::max<std::int64_t>(1, (limit - overhead) / frames::kWordField);
    for (std::int64_t done = 0; done < n; done += per_command) {
        auto first = values.begin() + done;
        Words part(first, first + std::min(per_command, n - done));
        const std::string from = offset_address(name, kind, done);
        ask(build(std::string_view(from), part));
    }
}

std::int64_t MewMaster::int16_bits(std::int64_t value) {
    if (value < -32768 || value > 32767) throw StructError("short format requires -32768 <= number <= 32767");
    return value & 0xFFFF;
}

std::int64_t MewMaster::int32_bits(std::int64_t value) {
    if (value < -2147483648LL || value > 2147483647LL)
        throw StructError("'i' format requires -2147483648 <= number <= 2147483647");
    return value & 0xFFFFFFFFLL;
}

bool MewMaster::get_coil(std::int64_t station, std::string_view name) {
    // An empty name is refused before a negative station.
    const std::string_view contact = named(name);
    const std::int64_t station_field = field(station);
    CommandBuffer command;
    if (prepared_.find(PreparedCommands::Read::kContact, station_field, contact, 1, command))
        return frames::decode_contact(ask(command.view()));
    const std::string built = MewStatic::fill_read_single_point_of_contact_message(station_field, contact);
    prepared_.keep(PreparedCommands::Read::kContact, station_field, contact, 1, built);
    return frames::decode_contact(ask(built));
}

std::int64_t MewMaster::get_coil_uint16(std::int64_t station, std::string_view name) {
    return element(get_multi_coil_uint16(station, name, 1), 0);
}

MewMaster::Words MewMaster::get_multi_coil_uint16(std::int64_t station, std::string_view name,
                                                  std::int64_t count) {
    return read_in_parts(name, count, kContactWords, [&](std::string_view part, std::int64_t n) {
        CommandBuffer command;
        const std::int64_t station_field = field(station);
        if (prepared_.find(PreparedCommands::Read::kContactWords, station_field, part, n, command))
            return frames::decode_words(ask(command.view()), n);
        const std::string built =
            MewStatic::fill_read_word_unit_of_contact_message(station_field, part, std::nullopt, n);
        prepared_.keep(PreparedCommands::Read::kContactWords, station_field, part, n, built);
        return frames::decode_words(ask(built), n);
    });
}

std::int64_t MewMaster::get_uint16(std::int64_t station, std::string_view name) {
    return element(get_multi_uint16(station, name, 1), 0);
}

MewMaster::Words MewMaster::get_multi_uint16(std::int64_t station, std::string_view name,
                                             std::int64_t count) {
    return read_in_parts(name, count, kRegisters, [&](std::string_view part, std::int64_t n) {
        CommandBuffer command;
        const std::int64_t station_field = field(station);
        if (!prepared_.find(PreparedCommands::Read::kData, station_field, part, n, command)) {
            MewStatic::write_read_data_area_message(command, station_field, part, n);
            prepared_.keep(PreparedCommands::Read::kData, station_field, part, n, command.view());
        }
        return frames::decode_words(ask(command.view()), n);
    });
}

std::int64_t MewMaster::get_int16(std::int64_t station, std::string_view name) {
    return signed16(get_uint16(station, name));
}

std::int64_t MewMaster::get_uint32(std::int64_t station, std::string_view name) {
    Words w = get_multi_uint16(station, name, 2);
    // A word read with a sign ("-FFF") is negative, and a negative value must
    // not be shifted; the product is the host's arithmetic shift.
    return (element(w, 1) * 65536) | element(w, 0);
}

std::int64_t MewMaster::get_int32(std::int64_t station, std::string_view name) {
    return signed32(get_uint32(station, name));
}

MewMaster::Words MewMaster::get_multi_uint32(std::int64_t station, std::string_view name,
                                             std::int64_t count) {
    // Twice a count near the 64-bit limit does not fit; a count below 1 fails
    // the builder's check either way.
    std::int64_t words = count;
    if (count > 0 && __builtin_mul_overflow(count, 2, &words))
        throw OverflowError("count too large: " + std::to_string(count));
    Words w = get_multi_uint16(station, name, words);
    Words values(count > 0 ? static_cast<std::size_t>(count) : 0);
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = element(w, 2 * i + 1) * 65536 + element(w, 2 * i);
    return values;
}

MewMaster::Words MewMaster::get_multi_int32(std::int64_t station, std::string_view name, std::int64_t count) {
    Words values = get_multi_uint32(station, name, count);
    for (auto &v : values) v = signed32(v);
    return values;
}

void MewMaster::set_coil(std::int64_t station, std::string_view name, bool value) {
    ask(MewStatic::fill_write_single_point_of_contact_message(field(station), named(name), value));
}

void MewMaster::set_coil_uint16(std::int64_t station, std::string_view name, std::int64_t value) {
    check_words({value});
    ask(MewStatic::fill_write_word_unit_of_contact_message(field(station), named(name), {value}));
}

void MewMaster::set_multi_coil_uint16(std::int64_t station, std::string_view name, const Words &values) {
    check_words(values);
    write_in_parts(name, values, kContactWords, [&](std::string_view part, const Words &words) {
        return MewStatic::fill_write_word_unit_of_contact_message(field(station), part, words);
    });
}

void MewMaster::set_uint16(std::int64_t station, std::string_view name, std::int64_t value) {
    check_words({value});
    ask(MewStatic::fill_write_data_area_message(field(station), named(name), {value}));
}

void MewMaster::set_multi_uint16(std::int64_t station, std::string_view name, const Words &values) {
    check_words(values);
    write_in_parts(name, values, kRegisters, [&](std::string_view part, const Words &words) {
        return MewStatic::fill_write_data_area_message(field(station), part, words);
    });
}

void MewMaster::set_uint32(std::int64_t station, std::string_view name, std::int64_t value) {
    set_multi_uint16(station, name, {value & 0xFFFF, (value >> 16) & 0xFFFF});
}

void MewMaster::set_int16(std::int64_t station, std::string_view name, std::int64_t value) {
    set_uint16(station, name, int16_bits(value));
}

void MewMaster::set_int32(std::int64_t station, std::string_view name, std::int64_t value) {
    set_uint32(station, name, int32_bits(value));
}

void MewMaster::set_multi_int16(std::int64_t station, std::string_view name, const Words &values) {
    Words words;
    words.reserve(values.size());
    for (std::int64_t v : values) words.push_back(int16_bits(v));
    set_multi_uint16(station, name, words);
}

void MewMaster::set_multi_uint32(std::int64_t station, std::string_view name, const Words &values) {
    Words words;
    words.reserve(values.size() * 2);
    for (std::int64_t v : values) {
        words.push_back(v & 0xFFFF);
        words.push_back((v >> 16) & 0xFFFF);
    }
    set_multi_uint16(station, name, words);
}

void MewMaster::set_multi_int32(std::int64_t station, std::string_view name, const Words &values) {
    Words converted;
    converted.reserve(values.size());
    for (std::int64_t v : values) converted.push_back(int32_bits(v));
    set_multi_uint32(station, name, converted);
}

double MewMaster::get_float32(std::int64_t station, std::string_view name) {
    Words w = get_multi_uint16(station, name, 2);
    return frames::words_float(element(w, 0), element(w, 1));
}

std::vector<double> MewMaster::get_multi_float32(std::int64_t station, std::string_view name,
                                                 std::int64_t count) {
    std::int64_t words = count;
    if (count > 0 && __builtin_mul_overflow(count, 2, &words))
        throw OverflowError("count too large: " + std::to_string(count));
    Words w = get_multi_uint16(station, name, words);
    std::vector<double> values(count > 0 ? static_cast<std::size_t>(count) : 0);
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = frames::words_float(element(w, 2 * i), element(w, 2 * i + 1));
    return values;
}

void MewMaster::set_float32(std::int64_t station, std::string_view name, double value) {
    auto [low, high] = frames::float_words(value);
    set_multi_uint16(station, name, {low, high});
}

void MewMaster::set_multi_float32(std::int64_t station, std::string_view name,
                                  const std::vector<double> &values) {
    Words words;
    words.reserve(values.size() * 2);
    for (double v : values) {
        auto [low, high] = frames::float_words(v);
        words.push_back(low);
        words.push_back(high);
    }
    set_multi_uint16(station, name, words);
}

std::vector<bool> MewMaster::get_coils(std::int64_t station, const std::vector<std::string> &names) {
    std::vector<std::string_view> views;
    for (const std::string &name : names) views.push_back(named(name));
    return frames::decode_contacts(ask(frames::build_read_contacts(field(station), views)), names.size());
}

void MewMaster::set_coils(std::int64_t station, const std::vector<std::pair<std::string, bool>> &contacts) {
    std::vector<frames::ContactValue> views;
    for (const auto &[name, value] : contacts) views.emplace_back(named(name), value);
    ask(frames::build_write_contacts(field(station), views));
}

frames::PlcStatus MewMaster::get_status(std::int64_t station) {
    return frames::decode_status(ask(frames::build_read_status(field(station))));
}

MewMaster::Words MewMaster::read_timers(std::int64_t station, std::string_view code, std::int64_t start,
                                        std::int64_t count) {
    std::string first = std::to_string(start);
    return read_in_parts(first, count, kTimers, [&](std::string_view part, std::int64_t n) {
        return frames::decode_words(
            ask(frames::build_read_timers(field(station), code, std::stoll(std::string(part)), n)), n);
    });
}

void MewMaster::write_timers(std::int64_t station, std::string_view code, std::int64_t start,
                             const Words &values) {
    check_words(values);
    write_in_parts(std::to_string(start), values, kTimers, [&](std::string_view part, const Words &words) {
        return frames::build_write_timers(field(station), code, std::stoll(std::string(part)), words);
    });
}

MewMaster::Words MewMaster::get_preset_values(std::int64_t station, std::int64_t start, std::int64_t count) {
    return read_timers(station, frames::kReadPresets, start, count);
}
void MewMaster::set_preset_values(std::int64_t station, std::int64_t start, const Words &values) {
    write_timers(station, frames::kWritePresets, start, values);
}
MewMaster::Words MewMaster::get_elapsed_values(std::int64_t station, std::int64_t start, std::int64_t count) {
    return read_timers(station, frames::kReadElapsed, start, count);
}
void MewMaster::set_elapsed_values(std::int64_t station, std::int64_t start, const Words &values) {
    write_timers(station, frames::kWriteElapsed, start, values);
}

}  // namespace mew
