#include <gtest/gtest.h>

#include "base/errors.h"
#include "codec/frames.h"
#include "codec/mew_static.h"
#include "codec/text.h"
#include "link/answer_size.h"

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

// Commands in, the fields a slave's handlers get out.
TEST(Frames, CommandsParseIntoTheirFields) {
    namespace f = mew::frames;
    struct Case {
        const char *body;
        std::string_view code, name;
        std::int64_t count;
        bool value;
        f::Words words;
    };
    const Case cases[] = {
        {"%01#RCSR0010", "RCS", "R0010", 0, false, {}},
        {"%01#WCSR00101", "WCS", "R0010", 0, true, {}},
        {"%01#WCSR00100", "WCS", "R0010", 0, false, {}},
        {"%01#RCCX00000010", "RCC", "X0000", 11, false, {}},
        {"%01#WCCY000000013412FFFF", "WCC", "Y0000", 2, false, {4660, 65535}},
        {"%01#RDD0010000102", "RD", "D00100", 3, false, {}},
        {"%01#RDD0010000099", "RD", "D00100", 0, false, {}},
        {"%01#WDD00100001010201FF00", "WD", "D00100", 2, false, {258, 255}},
        {"%01#XYZ", MewStatic::CMD_UNKNOWN, "", 0, false, {}},
    };
    for (const Case &c : cases) {
        const std::string frame = MewStatic::append_tail(c.body);
        ASSERT_TRUE(f::command_well_formed(frame)) << c.body;
        f::Command got = f::parse_command(frame);
        EXPECT_EQ(got.code, c.code) << c.body;
        EXPECT_EQ(got.name, c.name) << c.body;
        EXPECT_EQ(got.value, c.value) << c.body;
        EXPECT_EQ(got.words, c.words) << c.body;
        if (c.code == "RCC" || c.code == "RD") {
            EXPECT_EQ(got.count, c.count) << c.body;
        }
    }
    EXPECT_THROW(f::parse_command(MewStatic::append_tail("%01#WDD0000000000FF-1")), mew::ValueError);
    EXPECT_THROW(f::parse_command(MewStatic::append_tail("%01#WDD0000000001FFFF")), mew::IndexError);
    EXPECT_THROW(f::parse_command(MewStatic::append_tail("%01#WCSR0010")), mew::IndexError);
    EXPECT_FALSE(f::command_well_formed("%01#RCSR001000\r"));
    EXPECT_FALSE(f::command_well_formed("%01#RCS\r"));
    EXPECT_TRUE(f::addressed_to("%001#RCSR0010**\r", 1));
    EXPECT_FALSE(f::addressed_to("%10000000000000000000#RCSR0010**\r", 1));
}

// Responses built, and back: what a master makes of them.
TEST(Frames, ResponsesBuildAndCheck) {
    namespace f = mew::frames;
    EXPECT_EQ(f::response_head("%001#RCSR0010**\r"), "%001");
    EXPECT_EQ(f::build_response("%01", "RCS", "1"),
              "%01$RC1"
              "20\r");
    EXPECT_EQ(f::build_response("%01", "RD", f::words_data({258, 0, 255})),
              MewStatic::append_tail("%01$RD02010000FF00"));
    EXPECT_EQ(f::build_error_response("%01", MewStatic::PROCESS_UNKNOWN_CMD),
              MewStatic::append_tail("%01!03"));
    EXPECT_THROW(f::words_data({65536}), mew::ValueError);

    const std::string read = MewStatic::fill_read_data_area_message(1, "DT100", 2);
    EXPECT_EQ(f::response_code_for(read), "RD");
    EXPECT_EQ(f::response_code_for(MewStatic::fill_read_single_point_of_contact_message(1, "X0")), "RC");
    EXPECT_EQ(f::check_response(read, MewStatic::append_tail("%01$RD34127856")), "RD34127856");
    EXPECT_EQ(f::check_response(read, MewStatic::append_tail("%01$WD")), std::nullopt);
    auto message = [&](const std::string &response) {
        try {
            f::check_response(read, response);
        } catch (const mew::IOError &e) {
            return std::string(e.what());
        }
        return std::string("accepted");
    };
    EXPECT_EQ(message(MewStatic::append_tail("%01!42")), "MEW communication error code(hex): 42");
    EXPECT_EQ(message(MewStatic::append_tail("%02$RD0000")), "Error: station not match: expected 1, got 2");
    EXPECT_EQ(message("%01$RD0000FF\r"), "Error: device response check code invalid.");
    EXPECT_EQ(message("%01$RD\r"), "Error: device response format invalid: length too small: 7");
    EXPECT_EQ(message("X01$RD0000**\r"), "Error: device response format invalid: begin with: X");

    EXPECT_EQ(f::decode_words("RD34127856", 2), (f::Words{4660, 22136}));
    EXPECT_EQ(f::decode_words("RCffff", 1), (f::Words{65535}));
    EXPECT_TRUE(f::decode_contact("RC1"));
    EXPECT_FALSE(f::decode_contact("RC0"));
    EXPECT_THROW(f::decode_words("RD3412", 2), mew::IOError);
    EXPECT_THROW(f::decode_words("RDFF-1", 1), mew::IOError);
    EXPECT_THROW(f::decode_words("RDGGGG", 1), mew::NumberFormatError);
}

// Words read by byte offset only where characters are bytes: a code or a
// group that is not ASCII is counted and read by character, as ever.
TEST(Frames, DecodeWordsOfAnyText) {
    namespace f = mew::frames;
    const std::string acute = "\xc3\xa9";  // one character, two bytes
    const struct {
        std::string data;
        std::int64_t count;
        std::string outcome;
    } cases[] = {
        {"RD", 0, ""},
        {"RDcdAB00FF", 2, "43981 65280 "},
        {"R", 0, "IOError Invalid feedback format: R"},
        {"RD3412", -1, "IOError Invalid feedback format: RD3412"},
        {acute + "3412", 1, "IOError Invalid feedback format: " + acute + "3412"},
        {acute + "D3412", 1, "IOError Invalid feedback format: " + acute + "D3412"},
        {"RD34" + acute, 1, "IOError Invalid feedback format: RD34" + acute},
        {"RD34" + acute + "12", 1, "IOError Invalid feedback format: RD34" + acute + "12"},
        {"RD1  0", 1, "IOError Invalid feedback format: RD1  0"},
        {"RD0000+123", 2, "NumberFormatError invalid literal for int() with base 16: '23+1'"},
    };
    for (const auto &c : cases) {
        std::string got;
        try {
            for (std::int64_t w : f::decode_words(c.data, c.count)) got += std::to_string(w) + " ";
        } catch (const mew::NumberFormatError &e) {
            got = std::string("NumberFormatError ") + e.what();
        } catch (const mew::IOError &e) {
            got = std::string("IOError ") + e.what();
        }
        EXPECT_EQ(got, c.outcome) << c.data;
    }
}

// The table and the plain-digit readers against the full number syntax:
// every byte, every digit in either case at every place of a word.
TEST(Text, FixedFieldsReadAsTheNumberSyntaxDoes) {
    namespace t = mew::text;
    const std::string_view digits = "0123456789abcdefABCDEF";
    for (int b = 0; b < 256; ++b) {
        const char c = static_cast<char>(b);
        const auto at = digits.find(c);
        EXPECT_EQ(t::hex_digit(c), at == digits.npos ? 0xFF : at < 16 ? int(at) : int(at) - 6) << b;
        for (int place = 0; place < 4; ++place) {
            std::string word = "0000";
            word[place] = c;
            const std::int64_t low = (place < 2 ? t::hex_digit(c) << (place == 0 ? 4 : 0) : 0);
            const std::int64_t high = (place >= 2 ? t::hex_digit(c) << (place == 2 ? 12 : 8) : 0);
            EXPECT_EQ(MewStatic::try_read_word(word), at == digits.npos ? -1 : low | high) << word;
        }
    }
    EXPECT_EQ(MewStatic::try_read_word("3412"), 0x1234);
    EXPECT_EQ(MewStatic::try_read_word("341"), -1);
    // A field that is not plain is left to parse_int, whose value it never contradicts.
    for (std::string_view f : {"0", "F", "ff", "123456789ABCDEF", "123456789ABCDEF0", " 1", "+1", "-1", "1_0",
                               "0x1", "", "99999999999999999", "1e"}) {
        for (int base : {10, 16}) {
            const std::int64_t plain = base == 16 ? t::plain_hex(f) : t::plain_decimal(f);
            std::int64_t full = -1;
            try {
                full = t::parse_int(f, base);
            } catch (const std::exception &) {  // not a number, or too large
            }
            const bool digits_only = !f.empty() && f.find_first_not_of(base == 16 ? "0123456789ABCDEFabcdef"
                                                                                  : "0123456789") == f.npos;
            EXPECT_EQ(plain, digits_only && f.size() <= (base == 16 ? 15u : 18u) ? full : -1)
                << f << " " << base;
        }
    }
}

// Deciding once that a text is ASCII changes no index or slice of any text.
TEST(Text, IndexedCutsAsTheHostDoes) {
    namespace t = mew::text;
    for (std::string_view s : {"%01$RD3412\r",
                               "%0\xC2\xB0$RD\xC3\xA9"
                               "1\r",
                               "", "\xE2\x82\xAC"}) {
        const t::Indexed text(s);
        const auto n = static_cast<std::int64_t>(t::length(s));
        EXPECT_EQ(text.size(), n);
        for (std::int64_t i = -n - 2; i <= n + 2; ++i) {
            if (i < -n || i >= n)
                EXPECT_THROW(text.at(i), mew::IndexError);
            else
                EXPECT_EQ(text.at(i), t::at(s, i));
            for (std::int64_t j = -n - 2; j <= n + 2; ++j) {
                EXPECT_EQ(text.slice(i, j).view(), t::slice(s, i, j)) << i << ":" << j;
                EXPECT_EQ(text.slice(i, j).ascii(), t::is_ascii(t::slice(s, i, j)));
            }
        }
    }
    EXPECT_EQ(t::Indexed("%0\xC2\xB0$RD").slice(3, 6).view(), "$RD");
    // One byte above 0x7F, wherever it stands in texts of every length that
    // the scan reads in words.
    for (std::size_t n = 0; n <= 20; ++n)
        for (std::size_t at = 0; at <= n; ++at) {
            std::string s(n, 'a');
            if (at < n) s[at] = '\xB0';
            EXPECT_EQ(t::is_ascii(s), at == n) << n << " " << at;
        }
}

// Responses a master checks, those the offsets read included, with what the
// full check made of them before.
TEST(Frames, ResponsesReadByOffsetAsInFull) {
    namespace f = mew::frames;
    const std::string read = MewStatic::fill_read_data_area_message(1, "DT100", 1);
    const std::string extended = "<01#RDD0010000100**\r";
    auto lower = [](std::string s) {
        for (std::size_t i = s.size() - 3; i < s.size() - 1; ++i)
            s[i] = static_cast<char>(std::tolower(s[i]));
        return s;
    };
    auto continued = [](std::string s) { return s.insert(s.size() - 1, "&"); };
    auto tail = [](const char *body) { return MewStatic::append_tail(body); };
    const struct {
        std::string command, response, outcome;
    } cases[] = {
        {read, tail("%01$RD3412"), "RD3412"},
        {read, lower(tail("%01$RD34127856")), "RD34127856"},
        {read, tail("%001$RD3412"), "RD3412"},
        {"%1#RDD0010000100**\r", tail("%001$RD3412"), "RD3412"},
        {read, tail("% 1$RD3412"), "RD3412"},
        {read,
         tail("%01$RD\xC2\xB0"
              "12"),
         "RD\xC2\xB0"
         "12"},
        {read, tail("%01$RD"), "RD"},
        {read, "%01$RD3412**\r", "RD3412"},
        {read, continued(tail("%01$RD3412")), "RD3412"},
        {read, tail("%01$RC1"), "(another command's)"},
        {extended, tail("<01$RD3412"), "RD3412"},
        {extended, tail("%01$RD3412"), "Error: device response format invalid: begin with: %"},
        {read, tail("<01$RD3412"), "Error: device response format invalid: begin with: <"},
        {read, "%01$RD341210\r", "Error: device response check code invalid."},
        {read, tail("%02$RD3412"), "Error: station not match: expected 1, got 2"},
        {read, tail("%123456789ABCDEF0$RD3412"),
         "Error: station not match: expected 1, got 1311768467463790320"},
        {read, tail("%01!42"), "MEW communication error code(hex): 42"},
    };
    for (const auto &c : cases) {
        std::string outcome;
        try {
            outcome = f::check_response(c.command, c.response).value_or("(another command's)");
        } catch (const mew::IOError &e) {
            outcome = e.what();
        }
        EXPECT_EQ(outcome, c.outcome) << c.response;
    }
}

// The data a command's answer holds, read from the command's letters.
TEST(Frames, AnswerSizeFollowsTheCode) {
    const struct {
        std::string command;
        std::int64_t least;
        std::optional<std::int64_t> most;
    } cases[] = {
        {MewStatic::fill_read_data_area_message(1, "DT100", 3), 12, 12},
        {MewStatic::fill_read_single_point_of_contact_message(1, "X1"), 1, 1},
        {MewStatic::fill_read_word_unit_of_contact_message(1, "WX0", std::nullopt, 2), 8, 8},
        {MewStatic::append_tail("%01#RCP2X0000X0001"), 2, 2},
        {MewStatic::append_tail("%01#RS00010002"), 8, 8},
        {MewStatic::append_tail("%01#RK00050005"), 4, 4},
        {MewStatic::append_tail("%01#RT"), 16, std::nullopt},
        {MewStatic::fill_write_data_area_message(1, "DT100", {1}), 0, 0},
        {MewStatic::append_tail("%01#WCSY00101"), 0, 0},
        {MewStatic::append_tail("%01#WCP1Y00101"), 0, 0},
        {MewStatic::append_tail("%01#WS000100011234"), 0, 0},
        {MewStatic::append_tail("%01#RDD0010000099"), 0, std::nullopt},  // last before first
        {"%01#RD\r", 0, std::nullopt},                                   // no fields at all
        {"%01#RCX\r", 0, std::nullopt},
        {MewStatic::append_tail("%01$RD3412"), 0, std::nullopt},
    };
    for (const auto &c : cases) {
        const mew::AnswerSize size = mew::answer_size(c.command);
        EXPECT_EQ(size.least, c.least) << c.command;
        EXPECT_EQ(size.most, c.most) << c.command;
    }
}
