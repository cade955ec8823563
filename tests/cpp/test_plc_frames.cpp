// The frames of full controllers, as their manuals print them: each example
// built by the codec and read back by it.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "base/errors.h"
#include "codec/frames.h"
#include "codec/long_frames.h"
#include "codec/mew_static.h"
#include "codec/plc_commands.h"

namespace f = mew::frames;
using mew::MewStatic;

namespace {

const std::string kRead30 = "%01#RDD00000000295E\r";
const std::string kFirst =
    "%01$RD00000100020003000400050006000700080009000A000B000C000D000E000F00100011001200130014001500160017"
    "00180019001A0061&\r";
const std::string kLast = "%011B001C001D0050\r";

f::Words count_up(std::int64_t n) {
    f::Words w;
    for (std::int64_t i = 0; i < n; ++i) w.push_back(i);
    return w;
}

}  // namespace

TEST(PlcFrames, LongReadGoesInFramesOf118) {
    EXPECT_EQ(MewStatic::fill_read_data_area_message(1, "DT0", 30), kRead30);
    const std::string whole = f::build_response("%01", "RD", f::words_data(count_up(30)));
    const std::vector<std::string> frames = f::split_response(whole, f::kShortFrameLimit);
    ASSERT_EQ(frames, (std::vector<std::string>{kFirst, kLast}));
    EXPECT_EQ(kFirst.size(), 118u);
    EXPECT_EQ(f::split_response(whole, f::kNoFrameLimit), std::vector<std::string>{whole});

    // The master's side: the first frame checks as any response, the request
    // for the next is header, station, check code, "&".
    EXPECT_TRUE(f::is_continued(kFirst));
    EXPECT_FALSE(f::is_continued(kLast));
    std::string data = f::check_response(kRead30, kFirst).value();
    EXPECT_EQ(f::continuation_request(kFirst), "%0124&\r");
    EXPECT_TRUE(f::is_continuation_request("%0124&\r"));
    EXPECT_TRUE(f::is_continuation_request("%01**&\r"));
    EXPECT_FALSE(f::is_continuation_request("%0125&\r"));
    EXPECT_FALSE(f::is_continuation_request("%01#RCSR0010**\r"));
    EXPECT_FALSE(f::has_type(kLast));
    data += f::continuation_data(kRead30, kLast);
    EXPECT_EQ(f::decode_words(data, 30), count_up(30));

    auto refused = [&](const std::string &frame) {
        try {
            f::continuation_data(kRead30, frame);
        } catch (const mew::IOError &e) {
            return std::string(e.what());
        }
        return std::string("accepted");
    };
    EXPECT_EQ(refused("%011B001C001D0051\r"), "Error: device response check code invalid.");
    EXPECT_EQ(refused(MewStatic::append_tail("%021B00")), "Error: station not match: expected 01, got 02");
    EXPECT_EQ(refused("<011B001C001D0050\r"), "Error: device response format invalid: begin with: <");
}

TEST(PlcFrames, ExtendedHeaderCarriesLongFrames) {
    const std::string command = f::with_header(kRead30, f::kExtendedHead);
    EXPECT_EQ(command, "<01#RDD000000002947\r");
    EXPECT_TRUE(f::command_well_formed(command, true));
    EXPECT_FALSE(f::command_well_formed(command));
    EXPECT_EQ(f::response_head(command), "<01");
    const std::string whole = f::build_response("<01", "RD", f::words_data(count_up(30)));
    EXPECT_EQ(f::split_response(whole, f::kLongFrameLimit), std::vector<std::string>{whole});
    EXPECT_EQ(f::decode_words(f::check_response(command, whole).value(), 30), count_up(30));
    // A "%" answer to a "<" command is no answer to it.
    EXPECT_THROW(f::check_response(command, MewStatic::append_tail("%01$RD0000")), mew::IOError);
}

TEST(PlcFrames, FloatsAreTwoWordsLowFirst) {
    auto [low, high] = f::float_words(1.5);
    EXPECT_EQ(MewStatic::fill_write_data_area_message(1, "DT100", {low, high}),
              "%01#WDD00100001010000C03F57\r");
    const std::string read = MewStatic::fill_read_data_area_message(1, "DT100", 2);
    f::Words w = f::decode_words(f::check_response(read, "%01$RD0000C03F10\r").value(), 2);
    EXPECT_EQ(f::words_float(w[0], w[1]), 1.5);
    EXPECT_THROW(f::float_words(std::nan("")), mew::ValueError);
    EXPECT_THROW(f::float_words(std::numeric_limits<double>::infinity()), mew::ValueError);
    EXPECT_THROW(f::float_words(1e39), mew::OverflowError);
    EXPECT_EQ(f::float_words(-2.0), (std::pair<std::int64_t, std::int64_t>{0, 0xC000}));
}

TEST(PlcFrames, SeveralContactsInOneCommand) {
    const std::string read = f::build_read_contacts(1, {"X0000", "Y001A"});
    EXPECT_EQ(read, "%01#RCP2X0000Y001A05\r");
    EXPECT_EQ(f::decode_contacts(f::check_response(read, "%01$RC1010\r").value(), 2),
              (std::vector<bool>{true, false}));
    EXPECT_THROW(f::decode_contacts("RC102", 2), mew::IOError);
    const std::string write = f::build_write_contacts(1, {{"Y0000", true}, {"R0010", false}});
    EXPECT_EQ(write, "%01#WCP2Y00001R001007A\r");
    EXPECT_EQ(f::check_response(write, "%01$WC14\r"), "WC");
    EXPECT_THROW(f::build_read_contacts(1, std::vector<std::string_view>(9, "X0000")), mew::ValueError);
    EXPECT_THROW(f::build_read_contacts(1, {}), mew::ValueError);

    f::Command c = f::parse_command(write, true);
    EXPECT_EQ(c.code, "WCP");
    EXPECT_EQ(c.names, (std::vector<std::string_view>{"Y0000", "R0010"}));
    EXPECT_EQ(c.values, (std::vector<bool>{true, false}));
    EXPECT_EQ(f::parse_command(read, true).names, (std::vector<std::string_view>{"X0000", "Y001A"}));
    // Only a station that answers the commands of full controllers reads them.
    EXPECT_EQ(f::parse_command(read).code, MewStatic::CMD_UNKNOWN);
    EXPECT_THROW(f::parse_command(MewStatic::append_tail("%01#RCP9X0000"), true), mew::ValueError);
    EXPECT_THROW(f::parse_command(MewStatic::append_tail("%01#RCP2X0000"), true), mew::IndexError);
}

TEST(PlcFrames, StatusAndTimers) {
    EXPECT_EQ(f::build_read_status(1), "%01#RT01\r");
    f::PlcStatus s;
    s.cpu_type = 0x50, s.version = 0x12, s.capacity = 32, s.mode = 0x01, s.error_flags = 0x04,
    s.self_diagnosis = 0x1234;
    const std::string answer = f::build_response("%01", "RT", f::status_data(s));
    EXPECT_EQ(answer, MewStatic::append_tail("%01$RT5012320100043412"));
    f::PlcStatus back = f::decode_status(f::check_response("%01#RT01\r", answer).value());
    EXPECT_EQ(back.cpu_type, 0x50);
    EXPECT_EQ(back.capacity, 32);
    EXPECT_TRUE(back.run());
    EXPECT_EQ(back.error_flags, 4);
    EXPECT_EQ(back.self_diagnosis, 0x1234);
    EXPECT_THROW(f::decode_status("RT50"), mew::IOError);

    // Set values of timers 0 to 5.
    EXPECT_EQ(f::build_read_timers(1, f::kReadPresets, 0, 6), "%01#RS0000000503\r");
    EXPECT_EQ(f::parse_command("%01#RS0000000503\r", true).count, 6);
    EXPECT_EQ(f::build_write_timers(1, f::kWriteElapsed, 0, {0}), "%01#WK0000000000001B\r");
    f::Command c = f::parse_command("%01#WK0000000000001B\r", true);
    EXPECT_EQ(c.code, "WK");
    EXPECT_EQ(c.name, "0000");
    EXPECT_EQ(c.count, 1);
    EXPECT_EQ(c.words, (f::Words{0}));
    EXPECT_THROW(f::build_read_timers(1, f::kReadPresets, 9999, 2), mew::ValueError);
}

TEST(PlcFrames, DecimalStationsAndErrorCodes) {
    EXPECT_EQ(f::station_field_value(23, false), 23);
    EXPECT_EQ(f::station_field_value(23, true), 0x23);
    EXPECT_EQ(f::station_field_value(f::kStationEE, true), 0xEE);
    EXPECT_THROW(f::station_field_value(100, true), mew::ValueError);
    EXPECT_EQ(MewStatic::fill_read_single_point_of_contact_message(f::station_field_value(23, true), "R0010"),
              MewStatic::append_tail("%23#RCSR0010"));
    EXPECT_TRUE(f::addressed_to(MewStatic::append_tail("%23#RCSR0010"), 23, true));
    EXPECT_FALSE(f::addressed_to(MewStatic::append_tail("%23#RCSR0010"), 23, false));
    EXPECT_TRUE(f::addressed_to(MewStatic::append_tail("%EE#RCSR0010"), 5, true));

    EXPECT_EQ(f::build_device_error("%01", f::kErrorProcedure), MewStatic::append_tail("%01!43"));
    EXPECT_EQ(f::device_error_meaning("42"), "command not supported");
    EXPECT_EQ(f::device_error_meaning("61"), "data error (area or range)");
    EXPECT_EQ(f::device_error_meaning("99"), "unknown error code");
}
