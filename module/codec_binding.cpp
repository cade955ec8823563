// MewStatic: the frame codec as Python sees it.
#include "base/errors.h"
#include "codec/addresses.h"
#include "codec/mew_static.h"
#include "codec/text.h"
#include "module/bindings.h"
#include "module/common.h"

namespace mew::py_boundary {

namespace {

using S = MewStatic;

// fill_int16 and fill_int32 pack the value as the host's struct module
// would, so their errors are struct.error.
std::int64_t packed(py::handle value, const char *range_message) {
    if (!PyIndex_Check(value.ptr())) raise_struct_error("required argument is not an integer");
    try {
        return int64(value);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_OverflowError)) throw;
    }
    raise_struct_error(range_message);
}

// A value that the unsigned fillers first compare with 0: anything else
// than an integer fails that comparison with TypeError.
std::int64_t unsigned_value(py::handle value) {
    if (!PyIndex_Check(value.ptr()))
        throw py::type_error(std::string("'>=' not supported between instances of '") +
                             Py_TYPE(value.ptr())->tp_name + "' and 'int'");
    return int64(value);
}

py::object calc_crc(const py::str &data, const py::object &init) {
    std::int64_t crc = S::calc_crc(text(data));
    if (PyLong_Check(init.ptr())) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(init.ptr(), &overflow);
        if (!overflow) return py::int_(v ^ crc);
    }
    // Keep the host's meaning for integers of any size.
    if (crc == 0 && text(data).empty()) return init;
    PyObject *r = PyNumber_Xor(init.ptr(), py::int_(crc).ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

}  // namespace

// parse_address and its Address, beside the codec they belong to.
void bind_addresses(py::module_ &m);

void bind_codec(py::module_ &m) {
    py::class_<MewStatic> cls(m, "MewStatic", "站号长度不限于8位的Mewtocol通信协议");

    // Constants first, in their order of declaration.
    cls.attr("MAX_MULTI_COIL_COUNT") = S::MAX_MULTI_COIL_COUNT;
    cls.attr("HEX_DIGITS") = to_str(S::HEX_DIGITS);
    cls.attr("DEC_DIGITS") = to_str(S::DEC_DIGITS);
    cls.attr("PROCESS_NONE") = S::PROCESS_NONE;
    cls.attr("PROCESS_ERROR") = S::PROCESS_ERROR;
    cls.attr("PROCESS_UNKNOWN_CMD") = S::PROCESS_UNKNOWN_CMD;
    cls.attr("HEAD") = std::string(1, S::HEAD);
    cls.attr("TAIL") = std::string(1, S::TAIL);
    cls.attr("QUERY") = std::string(1, S::QUERY);
    cls.attr("ERROR") = std::string(1, S::ERROR);
    cls.attr("FEEDBACK") = std::string(1, S::FEEDBACK);
    cls.attr("IGNORE_BCC") = std::string(1, S::IGNORE_BCC);
    cls.attr("BROADCAST") = S::BROADCAST;
    cls.attr("CMD_UNKNOWN") = to_str(S::CMD_UNKNOWN);

    // Checksum.
    def_fast_static(cls, "calc_crc", &calc_crc, py::arg("data"), py::arg("init") = 0,
                    "Block check of data: exclusive-or of its UTF-8 bytes, starting from init.");
    def_fast_static(
        cls, "crc_is_ok", [](const py::str &frame) { return S::crc_is_ok(text(frame)); }, py::arg("frame"),
        "Whether the check code (the two characters before the last) of a received frame is right; "
        "\"**\" stands for a check code that is not given.");
    def_fast_static(
        cls, "append_tail", [](const py::str &data) { return to_str(S::append_tail(text(data))); },
        py::arg("data"), "Completes a frame: data followed by its two-digit check code and CR.");

    // Inspection.
    def_fast_static(
        cls, "find_station_end", [](const py::str &d) { return S::find_station_end(text(d)); },
        py::arg("data"),
        "Index of the frame-type character; -1 when CR or \"*\" comes first; the length when there is none.");
    def_fast_static(
        cls, "command_start_position", [](const py::str &d) { return S::command_start_position(text(d)); },
        py::arg("data"), "Index where the code starts: find_station_end(data) + 1.");
    def_fast_static(
        cls, "parse_command", [](const py::str &d) { return to_str(S::parse_command(text(d))); },
        py::arg("data"), "The command code of a command frame: RCS, WCS, RCC, WCC, RD, WD, or CMD_UNKNOWN.");
    def_fast_static(
        cls, "frame_type", [](const py::str &d) { return to_str(S::frame_type(text(d))); }, py::arg("data"),
        "The character at find_station_end(data) (the last character when that is -1).");
    def_fast_static(
        cls, "is_feedback", [](const py::str &d) { return S::is_feedback(text(d)); }, py::arg("data"),
        "Whether the frame is a normal response (\"$\").");
    def_fast_static(
        cls, "is_query", [](const py::str &d) { return S::is_query(text(d)); }, py::arg("data"),
        "Whether the frame is a command (\"#\").");
    def_fast_static(
        cls, "is_error", [](const py::str &d) { return S::is_error(text(d)); }, py::arg("data"),
        "Whether the frame is an error response (\"!\").");
    def_fast_static(
        cls, "header_matched",
        [](const py::str &tx, const py::str &rx) { return S::header_matched(text(tx), text(rx)); },
        py::arg("tx"), py::arg("rx"),
        "Whether rx is the normal response to the command tx: same header and station, \"$\", "
        "same first two code letters.");
    def_fast_static(
        cls, "parse_station", [](const py::str &d) { return S::parse_station(text(d)); }, py::arg("data"),
        "The station field read as hexadecimal.");
    def_fast_static(
        cls, "parse_contact_address", [](const py::str &a) { return S::parse_contact_address(text(a)); },
        py::arg("address"),
        "Point number of a contact address: three decimal word digits, one hex bit digit.");
    def_fast_static(
        cls, "parse_register_address", [](const py::str &a) { return S::parse_register_address(text(a)); },
        py::arg("address"), "The register number, read as decimal.");
    def_fast_static(
        cls, "parse_uint16", [](const py::str &d) { return S::parse_uint16(text(d)); }, py::arg("data"),
        "A 16-bit data field, low byte first.");
    def_fast_static(
        cls, "parse_int16", [](const py::str &d) { return S::parse_int16(text(d)); }, py::arg("data"),
        "A 16-bit data field, low byte first, as a signed number.");
    def_fast_static(
        cls, "parse_uint32", [](const py::str &d) { return S::parse_uint32(text(d)); }, py::arg("data"),
        "A 32-bit data field: low word first, each word low byte first.");
    def_fast_static(
        cls, "parse_int32", [](const py::str &d) { return S::parse_int32(text(d)); }, py::arg("data"),
        "A 32-bit data field as a signed number.");

    // Field fillers.
    def_fast_static(
        cls, "fill_header",
        [](py::handle st, const py::str &cmd) { return to_str(S::fill_header(station(st), text(cmd))); },
        py::arg("station"), py::arg("cmd"), "\"%\", the station in hexadecimal (format 02X), \"#\" and cmd.");
    def_fast_static(
        cls, "fill_contact_address",
        [](const py::str &d, const py::str &a) { return to_str(S::fill_contact_address(text(d), text(a))); },
        py::arg("data"), py::arg("address"),
        "data followed by address, left-padded with \"0\" to four characters.");
    def_fast_static(
        cls, "fill_uint16",
        [](const py::str &d, py::handle v) { return to_str(S::fill_uint16(text(d), unsigned_value(v))); },
        py::arg("data"), py::arg("value"), "data followed by the 16-bit field of value, low byte first.");
    def_fast_static(
        cls, "fill_int16",
        [](const py::str &d, py::handle v) {
            return to_str(
                S::fill_int16(text(d), packed(v, "short format requires -32768 <= number <= 32767")));
        },
        py::arg("data"), py::arg("value"), "data followed by the 16-bit field of a signed value.");
    def_fast_static(
        cls, "fill_uint32",
        [](const py::str &d, py::handle v) { return to_str(S::fill_uint32(text(d), unsigned_value(v))); },
        py::arg("data"), py::arg("value"), "data followed by the 32-bit field of value: low word first.");
    def_fast_static(
        cls, "fill_int32",
        [](const py::str &d, py::handle v) {
            return to_str(
                S::fill_int32(text(d), packed(v, "'i' format requires -2147483648 <= number <= 2147483647")));
        },
        py::arg("data"), py::arg("value"), "data followed by the 32-bit field of a signed value.");

    // Message builders.
    def_fast_static(
        cls, "fill_read_single_point_of_contact_message",
        [](py::handle st, const py::str &c) {
            return to_str(S::fill_read_single_point_of_contact_message(station(st), text(c)));
        },
        py::arg("station"), py::arg("contact"),
        "The RCS frame reading one contact, such as \"Y0010\" or \"Y10\".");
    def_fast_static(
        cls, "fill_write_single_point_of_contact_message",
        [](py::handle st, const py::str &c, const py::object &value) {
            int truth = PyObject_IsTrue(value.ptr());
            if (truth < 0) throw py::error_already_set();
            return to_str(S::fill_write_single_point_of_contact_message(station(st), text(c), truth == 1));
        },
        py::arg("station"), py::arg("contact"), py::arg("value"),
        "The WCS frame setting (value true) or resetting one contact.");
    def_fast_static(
        cls, "fill_read_word_unit_of_contact_message",
        [](py::handle st, const py::str &start, const py::object &end, const py::object &count) {
            std::optional<std::string_view> contact_end;
            std::optional<std::int64_t> word_count;
            if (!end.is_none()) {
                // A view into a converted temporary would dangle; take text only.
                if (!py::isinstance<py::str>(end))
                    throw py::type_error(std::string("contact_end must be str, not ") +
                                         Py_TYPE(end.ptr())->tp_name);
                contact_end = text(end);
            }
            if (!count.is_none()) word_count = int64(count);
            return to_str(
                S::fill_read_word_unit_of_contact_message(station(st), text(start), contact_end, word_count));
        },
        py::arg("station"), py::arg("contact_start"), py::arg("contact_end") = py::none(),
        py::arg("word_count") = py::none(),
        "The RCC frame reading words of contacts from contact_start (\"WX0\") to contact_end, "
        "or word_count words.");
    def_fast_static(
        cls, "fill_write_word_unit_of_contact_message",
        [](py::handle st, const py::str &start, py::handle values) {
            return to_str(
                S::fill_write_word_unit_of_contact_message(station(st), text(start), int64_list(values)));
        },
        py::arg("station"), py::arg("contact_start"), py::arg("values"),
        "The WCC frame writing one word of contacts per value from contact_start (\"WY0\").");
    def_fast_static(
        cls, "fill_read_data_area_message",
        [](py::handle st, const py::str &reg, py::handle count) {
            return to_str(S::fill_read_data_area_message(station(st), text(reg), int64(count)));
        },
        py::arg("station"), py::arg("reg_start"), py::arg("reg_count"),
        "The RD frame reading reg_count registers from reg_start (\"DT100\").");
    def_fast_static(
        cls, "fill_write_data_area_message",
        [](py::handle st, const py::str &reg, py::handle values) {
            return to_str(S::fill_write_data_area_message(station(st), text(reg), int64_list(values)));
        },
        py::arg("station"), py::arg("reg_start"), py::arg("values"),
        "The WD frame writing one register per value from reg_start.");
    def_fast_static(
        cls, "fill_write_single_data_message",
        [](py::handle st, const py::str &reg, py::handle value) {
            return to_str(S::fill_write_single_data_message(station(st), text(reg), int64(value)));
        },
        py::arg("station"), py::arg("reg"), py::arg("value"), "The WD frame writing one register.");

    bind_addresses(m);
}

void bind_addresses(py::module_ &m) {
    py::class_<MewAddress>(m, "Address",
                           "An address read by parse_address: its area, its form and its number, the names "
                           "of the addresses after it and the last of its area.")
        .def_property_readonly("name", &MewAddress::name,
                               "The address in upper case, its zero padding kept: \"DT0100\", \"R0010\".")
        .def_property_readonly(
            "area", [](const MewAddress &a) { return to_str(a.area->name); },
            "X, Y, R, L (contacts); WX, WY, WR, WL (words of contacts); DT, LD, FL, S (registers; D100 is in "
            "DT, "
            "F5 in FL); SV, EV (set and elapsed values of timers and counters).")
        .def_property_readonly(
            "form", [](const MewAddress &a) { return to_str(address_form_name(a.area->form)); },
            "\"contact\", \"word\", \"register\" or \"timer\".")
        .def_property_readonly(
            "number", [](const MewAddress &a) { return a.number; },
            "A contact's point (word * 16 + bit); the word, register or timer number otherwise.")
        .def_property_readonly("word", &MewAddress::word, "A contact's word; the number otherwise.")
        .def_property_readonly("bit", &MewAddress::bit, "A contact's bit in its word; 0 otherwise.")
        .def_property_readonly("last", &MewAddress::last,
                               "The last number of the area, in the unit of number.")
        .def_property_readonly("last_name", &MewAddress::last_name,
                               "The name of the last address of the area.")
        .def(
            "at", [](const MewAddress &a, py::handle offset) { return a.at(int64(offset)); },
            py::arg("offset"),
            "The name of the address offset places on, in the same form (not checked against the area's "
            "end).")
        .def("__str__", &MewAddress::name)
        .def("__repr__", [](const MewAddress &a) { return "Address(" + text::repr(a.name()) + ")"; });
    m.def(
        "parse_address", [](const py::str &address) { return parse_address(text(address)); }, py::arg("text"),
        "The address text names: a contact (\"R0010\", \"Y1F\": word in decimal, then the bit in "
        "hexadecimal), a "
        "word of contacts (\"WX0\"), a register (\"DT100\", \"D100\", \"LD5\", \"FL0\", \"S0\") or a timer "
        "or counter value (\"SV0\", \"EV0\"), in either case. ValueError \"not an address: ...\" for a text "
        "that names no area, \"address out of range: ...\" for a number past the last of its area (X999F, "
        "WX9999, DT99999, SV9999).");
}

}  // namespace mew::py_boundary
