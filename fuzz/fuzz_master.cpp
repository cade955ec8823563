// The master's handling of responses: whatever comes back on the line after
// a command, through the receiver thread, the query and the typed reads.
//
// Input: byte 0 picks the operation, byte 1 the station, byte 2 the name,
// byte 3 the count, byte 4 how the response is made; the rest is the
// response. Bit 0 of byte 4 prefixes the response with a head that answers
// the command's station; bit 1 gives it a correct check code and CR, so the
// fuzzer gets past the master's checks to the decoding of the data; bit 2
// then cuts it into frames of 118 characters as a controller does. Bit 3
// plays a device that never ends a transfer: the response becomes the first
// frame of a longer one, and every request for the next frame gets another
// frame with the same data, without end; the read must end all the same.
//
// One master per process: starting a thread per input would cost more than
// the input itself. The channel queues the response the moment the command
// is sent, and the target waits until the receiver has taken every frame of
// it before the next input, so no response is ever left for a later one.
#include <atomic>
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
#include "codec/long_frames.h"
#include "codec/mew_static.h"
#include "codec/text.h"
#include "fuzz_common.h"
#include "master/mew_master.h"
#include "tests/cpp/scripted_channel.h"

namespace {

using mew::MewStatic;
namespace text = mew::text;

struct Rig {
    std::shared_ptr<mew::testing::ScriptedChannel> channel =
        std::make_shared<mew::testing::ScriptedChannel>();
    mew::MewMaster master{channel, 0.05};
    Rig() {
        // Inputs follow each other at once: a shorter gap keeps a failed
        // one from slowing every next one.
        master.set_late_answer_gap(0.002);
        master.start();
    }
};

// Never destroyed: the receiver thread may still be in the channel when the
// process exits.
Rig &rig() {
    static Rig *r = new Rig;
    return *r;
}

// Cuts the response into frames as the link does: one character, then
// everything up to and including the next CR (so a lone CR joins the frame
// after it). A last frame that breaks off gets its CR, since a broken frame
// costs the receiver a pause of 0.1 s; true when a frame reaches a waiting
// query.
bool complete_frames(std::string &response) {
    bool reaches = false;
    std::size_t from = 0;
    while (from < response.size()) {
        std::size_t cr = response.find('\r', from + 1);
        if (cr == std::string::npos) {
            response += '\r';
            cr = response.size() - 1;
        }
        std::string frame = response.substr(from, cr + 1 - from);
        fuzz::attempt(
            [&] { reaches = reaches || MewStatic::is_feedback(frame) || MewStatic::is_error(frame); });
        from = cr + 1;
    }
    return reaches;
}

const char *const kNames[] = {
    "DT100", "D0",    "S0",    "S1",  "LD5", "DT65535", "D99999", "WX0", "WY12", "WR100",
    "X1F",   "Y0010", "R0010", "Y10", "X",   "D",       "W",      "",    "DT-1", "WX9223372036854775807"};

std::int64_t pick_count(unsigned b) {
    switch (b % 16) {
        case 0:
            return 0;
        case 1:
            return -1;
        case 2:
            return std::numeric_limits<std::int64_t>::max();
        case 3:
            return std::numeric_limits<std::int64_t>::max() / 2 + 1;
        case 4:
            return std::numeric_limits<std::int64_t>::max() / 4 + 1;
        case 5:
            return std::numeric_limits<std::int64_t>::min();
        case 6:
            return 100000;
        default:
            return static_cast<std::int64_t>(b % 16) - 6;  // 1..9
    }
}

std::int64_t pick_station(unsigned b) {
    switch (b % 8) {
        case 0:
            return b >> 3;
        case 1:
            return 0x100 + (b >> 3);
        case 2:
            return std::numeric_limits<std::int64_t>::max() - (b >> 3);
        default:
            return 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::silence_core();
    rig();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 5) return 0;
    const unsigned op = data[0];
    const std::int64_t station = pick_station(data[1]);
    const std::string name = kNames[data[2] % (sizeof kNames / sizeof kNames[0])];
    const std::int64_t count = pick_count(data[3]);
    const unsigned mode = data[4];
    std::string response = fuzz::as_text(fuzz::bytes_of(data + 5, size - 5));

    if (mode & 1) response = "%" + text::hex(station, 2) + "$" + response;
    if (mode & 2) {
        if (!response.empty() && response.back() == '\r') response.pop_back();
        response = MewStatic::append_tail(response);
        if (mode & 4) {
            std::string cut;
            fuzz::attempt([&] {
                for (const std::string &frame :
                     mew::frames::split_response(response, mew::frames::kShortFrameLimit))
                    cut += frame;
            });
            if (!cut.empty()) response = cut;
        }
    }
    std::string endless;
    if (mode & 8) {
        const std::string head = "%" + text::hex(station, 2);
        const std::string data = text::hex(static_cast<std::int64_t>(response.size()) & 0xFFFF, 4);
        response = MewStatic::append_tail(head + "$RD" + data);
        response.insert(response.size() - 1, "&");
        endless = MewStatic::append_tail(head + (data.size() > (size & 7) ? data.substr(size & 7) : ""));
        endless.insert(endless.size() - 1, "&");
    }
    // Every response is followed by one that any query takes (a query drops
    // a response to another command and waits on), so that no input waits
    // for the time-out; when the query has taken its answer before, the
    // receiver drops this one, as no query is waiting then.
    // A transfer without end is ended by the master itself.
    complete_frames(response);
    if (endless.empty()) response += "%01!99\r";

    Rig &r = rig();
    r.channel->script(response);
    if (!endless.empty()) r.channel->endless(endless);
    mew::MewMaster &m = r.master;
    const std::int64_t small = count >= 1 && count <= 9 ? count : 1;
    std::vector<std::int64_t> words(static_cast<std::size_t>(small), 0x1234);

    fuzz::attempt([&] {
        switch (op % 24) {
            case 0:
                m.get_coil(station, name);
                break;
            case 1:
                m.get_coil_uint16(station, name);
                break;
            case 2:
                FUZZ_CHECK(m.get_multi_coil_uint16(station, name, count).size() ==
                           static_cast<std::size_t>(count));
                break;
            case 3:
                m.get_uint16(station, name);
                break;
            case 4:
                FUZZ_CHECK(m.get_multi_uint16(station, name, count).size() ==
                           static_cast<std::size_t>(count));
                break;
            case 5:
                m.get_int16(station, name);
                break;
            case 6:
                m.get_uint32(station, name);
                break;
            case 7:
                m.get_int32(station, name);
                break;
            case 8:
                FUZZ_CHECK(m.get_multi_uint32(station, name, count).size() ==
                           static_cast<std::size_t>(count));
                break;
            case 9:
                FUZZ_CHECK(m.get_multi_int32(station, name, count).size() == static_cast<std::size_t>(count));
                break;
            case 10:
                m.set_coil(station, name, op & 32);
                break;
            case 11:
                m.set_coil_uint16(station, name, count);
                break;
            case 12:
                m.set_multi_coil_uint16(station, name, words);
                break;
            case 13:
                m.set_uint16(station, name, count);
                break;
            case 14:
                m.set_multi_uint16(station, name, words);
                break;
            case 15:
                m.set_uint32(station, name, count);
                break;
            case 16:
                m.set_int32(station, name, count);
                break;
            case 17:
                m.set_multi_int32(station, name, words);
                break;
            case 18:
                FUZZ_CHECK(m.get_multi_float32(station, name, count).size() ==
                           static_cast<std::size_t>(count));
                break;
            case 19:
                FUZZ_CHECK(
                    m.get_coils(station, std::vector<std::string>(static_cast<std::size_t>(small), name))
                        .size() == static_cast<std::size_t>(small));
                break;
            case 20:
                m.get_status(station);
                break;
            case 21:
                FUZZ_CHECK(m.get_elapsed_values(station, count, small).size() ==
                           static_cast<std::size_t>(small));
                break;
            case 22:
                m.set_float32(station, name, static_cast<double>(count) / 3);
                break;
            default:
                m.query(fuzz::as_text(fuzz::bytes_of(data + 5, std::min<std::size_t>(size - 5, 24))));
                break;
        }
    });

    // A command that was never sent leaves its response unused.
    if (!r.channel->sent()) r.channel->script("");
    r.channel->wait_drained();
    return 0;
}
