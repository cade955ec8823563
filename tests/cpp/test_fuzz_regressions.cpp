// Inputs the fuzz targets (fuzz/) found mishandled, each pinned by the
// behaviour that replaced the mishandling. Some were undefined behaviour that
// an ordinary build happens to get right; those fail only in the sanitizer
// build (scripts/sanitize.sh address), which stops at the first report.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/errors.h"
#include "codec/mew_static.h"
#include "link/mew_slave_base.h"
#include "master/mew_master.h"
#include "tests/cpp/scripted_channel.h"

namespace {

using mew::MewStatic;

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

// A started master whose device always sends `data` after the head "%01$".
std::unique_ptr<mew::MewMaster> master_answering(const std::string &data) {
    auto channel = std::make_shared<mew::testing::ScriptedChannel>(MewStatic::append_tail("%01$" + data));
    auto master = std::make_unique<mew::MewMaster>(channel, 5.0);
    master->start();
    return master;
}

class EmptySlave : public mew::MewSlaveBase {
public:
    EmptySlave() : MewSlaveBase(1) {}
    bool on_get_coil(std::string_view) override { return false; }
    void on_set_coil(std::string_view, bool) override {}
    Words on_get_multi_coil_uint16(std::string_view, std::int64_t) override { return {}; }
    void on_set_multi_coil_uint16(std::string_view, const Words &) override {}
    Words on_get_multi_uint16(std::string_view, std::int64_t) override { return {}; }
    void on_set_multi_uint16(std::string_view, const Words &) override {}
};

}  // namespace

// The last register of a range past the 64-bit limit wrapped around (signed
// overflow); the host would write the exact number, the core cannot.
TEST(FuzzRegressions, RangeEndBeyond64BitsIsAnOverflowError) {
    EXPECT_THROW(MewStatic::fill_read_data_area_message(1, "DT100", kMax), mew::OverflowError);
    EXPECT_THROW(MewStatic::fill_read_data_area_message(1, "D9223372036854775807", 2), mew::OverflowError);
    EXPECT_THROW(MewStatic::fill_write_data_area_message(1, "D9223372036854775807", {1, 2}),
                 mew::OverflowError);
    EXPECT_THROW(
        MewStatic::fill_read_word_unit_of_contact_message(1, "WX9223372036854775807", std::nullopt, 2),
        mew::OverflowError);
    EXPECT_THROW(MewStatic::fill_write_word_unit_of_contact_message(1, "WX9223372036854775807", {1, 2}),
                 mew::OverflowError);
    // Up to the limit itself the range is written as it is.
    EXPECT_EQ(MewStatic::fill_read_data_area_message(1, "D9223372036854775807", 1),
              MewStatic::append_tail("%01#RDD92233720368547758079223372036854775807"));
    EXPECT_EQ(MewStatic::fill_read_data_area_message(1, "D0", kMax),
              MewStatic::append_tail("%01#RDD000009223372036854775806"));
}

// Four times the count wrapped around to the length of the response, so a
// count of 2**62 + 1 passed the length check and asked for a list of that
// many words (std::length_error, which no caller expects).
TEST(FuzzRegressions, HugeCountIsALengthMismatch) {
    auto master = master_answering("RD3412");
    const std::int64_t count = (std::int64_t{1} << 62) + 1;
    try {
        master->get_multi_uint16(1, "D0", count);
        FAIL() << "no error";
    } catch (const mew::IOError &e) {
        EXPECT_STREQ(e.what(), "Invalid feedback format: RD3412");
    }
    EXPECT_THROW(master->get_multi_coil_uint16(1, "WX0", count), mew::IOError);
    EXPECT_THROW(master->get_multi_uint16(1, "D0", kMax / 4 + 1), mew::IOError);
    EXPECT_EQ(master->get_multi_uint16(1, "D0", 1), std::vector<std::int64_t>{0x1234});
}

// Twice the count of 32-bit values wrapped around to a negative word count,
// which the builder refused as if the caller had passed one.
TEST(FuzzRegressions, HugeCountOf32BitValuesIsAnOverflowError) {
    auto master = master_answering("RD3412");
    EXPECT_THROW(master->get_multi_uint32(1, "D0", std::int64_t{1} << 62), mew::OverflowError);
    EXPECT_THROW(master->get_multi_int32(1, "D0", kMax), mew::OverflowError);
    EXPECT_THROW(master->get_multi_uint32(1, "D0", 0), mew::AssertionFailure);
    EXPECT_THROW(master->get_multi_uint32(1, "D0", std::numeric_limits<std::int64_t>::min()),
                 mew::AssertionFailure);
}

// A high word read with a sign ("-FFF" from the digits "FF-F") was shifted
// left while negative (undefined, reported by the sanitizer build), and an
// unsigned read then returned a negative number. Such a group is no word.
TEST(FuzzRegressions, SignedWordGroupIsNoWord) {
    auto master = master_answering("RD3412FF-F");
    for (int i = 0; i < 3; ++i) {
        try {
            i == 0   ? master->get_uint32(1, "DT100")
            : i == 1 ? master->get_multi_uint32(1, "DT100", 1).at(0)
                     : master->get_int32(1, "DT100");
            ADD_FAILURE() << "a signed group was read as a word";
        } catch (const mew::IOError &e) {
            EXPECT_STREQ(e.what(), "Invalid feedback format: RD3412FF-F");
        }
    }
}

// A command whose station search ends at a CR before any type character can
// still name this station (white space around the digits is allowed), and
// its answer lost the head entirely and began with "!". The host's slice up
// to index -1 keeps everything but the last character.
TEST(FuzzRegressions, CommandWithoutTypeCharacterKeepsItsHead) {
    EmptySlave slave;
    const std::string command = "% \t\r\n\n01\r";
    ASSERT_TRUE(MewStatic::crc_is_ok(command));
    ASSERT_EQ(MewStatic::parse_station(command), 1);
    EXPECT_EQ(slave.process_request(command), MewStatic::append_tail("% \t\r\n\n01!03"));
}
