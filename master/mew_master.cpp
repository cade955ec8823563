#include "master/mew_master.h"

#include "base/errors.h"
#include "codec/frames.h"
#include "codec/mew_static.h"

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

}  // namespace

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
    std::string fb = query(MewStatic::fill_read_single_point_of_contact_message(station, name));
    return frames::decode_contact(fb);
}

std::int64_t MewMaster::get_coil_uint16(std::int64_t station, std::string_view name) {
    return element(get_multi_coil_uint16(station, name, 1), 0);
}

MewMaster::Words MewMaster::get_multi_coil_uint16(std::int64_t station, std::string_view name,
                                                  std::int64_t count) {
    std::string cmd = MewStatic::fill_read_word_unit_of_contact_message(station, name, std::nullopt, count);
    return frames::decode_words(query(cmd), count);
}

std::int64_t MewMaster::get_uint16(std::int64_t station, std::string_view name) {
    return element(get_multi_uint16(station, name, 1), 0);
}

MewMaster::Words MewMaster::get_multi_uint16(std::int64_t station, std::string_view name,
                                             std::int64_t count) {
    std::string cmd = MewStatic::fill_read_data_area_message(station, name, count);
    return frames::decode_words(query(cmd), count);
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
    query(MewStatic::fill_write_single_point_of_contact_message(station, name, value));
}

void MewMaster::set_coil_uint16(std::int64_t station, std::string_view name, std::int64_t value) {
    check_words({value});
    query(MewStatic::fill_write_word_unit_of_contact_message(station, name, {value}));
}

void MewMaster::set_multi_coil_uint16(std::int64_t station, std::string_view name, const Words &values) {
    check_words(values);
    query(MewStatic::fill_write_word_unit_of_contact_message(station, name, values));
}

void MewMaster::set_uint16(std::int64_t station, std::string_view name, std::int64_t value) {
    check_words({value});
    query(MewStatic::fill_write_data_area_message(station, name, {value}));
}

void MewMaster::set_multi_uint16(std::int64_t station, std::string_view name, const Words &values) {
    check_words(values);
    query(MewStatic::fill_write_data_area_message(station, name, values));
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

}  // namespace mew
