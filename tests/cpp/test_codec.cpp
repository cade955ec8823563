#include <gtest/gtest.h>

#include "base/errors.h"
#include "codec/mew_static.h"
#include "codec/text.h"

using mew::MewStatic;

TEST(Codec, CheckCodeIsXorOfBytes) {
    EXPECT_EQ(MewStatic::calc_crc(""), 0);
    EXPECT_EQ(MewStatic::calc_crc("", 5), 5);
    EXPECT_EQ(MewStatic::calc_crc("%01#RCSY0010"), 0x1D);
    EXPECT_EQ(MewStatic::calc_crc("", 0x1234), 0x1234);
    EXPECT_EQ(MewStatic::append_tail("%01#RCSY0010"), "%01#RCSY00101D\r");
    EXPECT_EQ(MewStatic::append_tail("%100#RDD0010000101"), "%100#RDD001000010164\r");
}

TEST(Codec, CrcCheckAcceptsBothCasesAndStars) {
    EXPECT_TRUE(MewStatic::crc_is_ok("%01#RCSY00101D\r"));
    EXPECT_TRUE(MewStatic::crc_is_ok("%01#RCSY00101d\r"));
    EXPECT_TRUE(MewStatic::crc_is_ok("%01#RCSY0010**\r"));
    EXPECT_FALSE(MewStatic::crc_is_ok("%01#RCSY0010*D\r"));
    EXPECT_FALSE(MewStatic::crc_is_ok("%01#RCSY00101*\r"));
    EXPECT_FALSE(MewStatic::crc_is_ok("%01#RCSY00101E\r"));
    EXPECT_THROW(MewStatic::crc_is_ok("x"), mew::IndexError);
    EXPECT_THROW(MewStatic::crc_is_ok("%01#RCSY0010ZZ\r"), mew::NumberFormatError);
}

TEST(Codec, StationSearchStopsAtTypeOrTail) {
    EXPECT_EQ(MewStatic::find_station_end("%01#RCSY00101D\r"), 3);
    EXPECT_EQ(MewStatic::find_station_end("%1234$RD0100\r"), 5);
    EXPECT_EQ(MewStatic::find_station_end("%01**\r"), -1);
    EXPECT_EQ(MewStatic::find_station_end("%01"), 3);
    EXPECT_EQ(MewStatic::find_station_end("%\xC2\xB0#"), 2);  // counts characters, not bytes
    EXPECT_EQ(MewStatic::frame_type("%01*"), "*");
    EXPECT_THROW(MewStatic::frame_type("%01"), mew::IndexError);
}

TEST(Codec, WordsAreLowByteFirst) {
    EXPECT_EQ(MewStatic::parse_uint16("3412"), 4660);
    EXPECT_EQ(MewStatic::parse_uint16("123"), 786);
    EXPECT_EQ(MewStatic::parse_int16("0080"), -32768);
    EXPECT_EQ(MewStatic::parse_uint32("78563412"), 305419896);
    EXPECT_EQ(MewStatic::parse_int32("FEFFFFFF"), -2);
    EXPECT_EQ(MewStatic::fill_uint16("", 74565), "45123");
    EXPECT_EQ(MewStatic::fill_int32("", -2), "FEFFFFFF");
    EXPECT_THROW(MewStatic::fill_int16("", 32768), mew::StructError);
    EXPECT_THROW(MewStatic::fill_uint16("", -1), mew::AssertionFailure);
}

TEST(Codec, BuildersMatchTheLine) {
    EXPECT_EQ(MewStatic::fill_read_data_area_message(1, "DT100", 1),
              "%01#RDD0010000100"
              "55\r");
    EXPECT_EQ(MewStatic::fill_read_data_area_message(256, "DT100", 2), "%100#RDD001000010164\r");
    EXPECT_EQ(MewStatic::fill_write_data_area_message(1, "DT100", {1, 43981}),
              "%01#WDD00100001010100CDAB54\r");
    EXPECT_EQ(MewStatic::fill_read_word_unit_of_contact_message(1, "WY10", std::nullopt, 3),
              "%01#RCCY001000120E\r");
    EXPECT_EQ(MewStatic::fill_write_word_unit_of_contact_message(1, "WY0", {4660, 5}),
              "%01#WCCY000000013412050009\r");
    EXPECT_EQ(MewStatic::fill_read_single_point_of_contact_message(1, "X1F"), "%01#RCSX001F6A\r");
    EXPECT_EQ(MewStatic::fill_header(-1, "RD"), "%-1#RD");
    EXPECT_THROW(MewStatic::fill_read_word_unit_of_contact_message(1, "WX0", "WY1", std::nullopt),
                 mew::AssertionFailure);
}

TEST(Text, IntFollowsTheHostSyntax) {
    EXPECT_EQ(mew::text::parse_int(" 1_0 ", 16), 16);
    EXPECT_EQ(mew::text::parse_int("0x_1f", 16), 31);
    EXPECT_EQ(mew::text::parse_int("-0x1", 16), -1);
    for (const char *bad : {"", "_1", "1_", "1__0", "0x", "- 1", "0x1"})
        EXPECT_THROW(mew::text::parse_int(bad, std::string(bad) == "0x1" ? 10 : 16), mew::NumberFormatError)
            << bad;
    EXPECT_THROW(mew::text::parse_int("FFFFFFFFFFFFFFFFF", 16), mew::OverflowError);
    EXPECT_EQ(mew::text::parse_int("-9223372036854775808", 10), INT64_MIN);
}
