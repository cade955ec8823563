// Frames beyond the plain exchange, as controllers of this protocol family
// use them: a response cut into several frames ("&" before CR asks for more),
// the extended "<" header for frames up to 2048 characters, and station
// numbers written in decimal.
//
//   first frame          "%" station "$" code data... check "&" CR
//   continuation request "%" station check "&" CR        (check may be "**")
//   next frames          "%" station data... check ["&"] CR
//
// Each frame's check code covers everything from its header to its last data
// character; the data texts of all frames join as text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace mew::frames {

constexpr char kExtendedHead = '<';
constexpr char kContinued = '&';
// Longest frames, CR included, by header; no limit is the library's default.
constexpr std::int64_t kNoFrameLimit = 0;
constexpr std::int64_t kShortFrameLimit = 118;
constexpr std::int64_t kLongFrameLimit = 2048;
// "EE": whatever station is at the other end of a 1:1 link.
constexpr std::int64_t kStationEE = 0xEE;
constexpr std::int64_t kLargestDecimalStation = 99;

// How a station writes and cuts its frames.
struct LineFormat {
    std::int64_t frame_limit = kNoFrameLimit;
    std::int64_t max_read_words = 0;  // words per read command; 0: no limit
    bool decimal_stations = false;
};

// ValueError unless `limit` is one of the three above.
void check_frame_limit(std::int64_t limit);
// The header a station with this frame limit writes its commands with.
char header_for(std::int64_t frame_limit);

// The number whose two hexadecimal digits spell `station` as the line writes
// it: the number itself, or its decimal digits ("23" for 23) when stations
// are numbered in decimal, where only 0..99 and kStationEE exist
// (ValueError otherwise).
std::int64_t station_field_value(std::int64_t station, bool decimal);

// `frame` (complete, with check code and CR) under another header, with its
// check code made anew ("**" stays).
std::string with_header(std::string_view frame, char head);

// Whether a frame has a type character ("#", "$", "!") after its station;
// further frames of a response have none.
bool has_type(std::string_view frame);
// Whether a frame ends with "&" before CR: more frames follow.
bool is_continued(std::string_view frame);
// `frame` without its "&", so that its check code ends it as in any frame.
std::string without_continued_mark(std::string_view frame);

// --- Master side -------------------------------------------------------------

// The request for the next frame of the response whose first frame is
// `response`: its header and station, their check code, "&", CR.
std::string continuation_request(std::string_view response);
// The data of a further frame of the response to `command`, after the same
// checks as a first frame (header, length, check code, station): IOError
// with the same messages otherwise.
std::string continuation_data(std::string_view command, std::string_view frame);

// --- Slave side --------------------------------------------------------------

// A request for the next frame: header ("%" or "<"), two station
// characters, a right check code or "**", "&", CR.
bool is_continuation_request(std::string_view frame);
// A complete response cut into frames of at most `limit` characters each
// (CR included); one frame when it fits, when there is no limit, or when its
// station is not two characters (its further frames could not be asked for).
std::vector<std::string> split_response(std::string_view response, std::int64_t limit);

}  // namespace mew::frames
