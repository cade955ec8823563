// Slave request processing under arbitrary command frames.
//
// The first input byte steers, the rest is the frame: when the byte is even
// the rest gets a correct check code and CR appended, so that the fuzzer gets
// past the frame check (and with bit 1 set also the head "%01#", so that it
// reaches the commands); otherwise the rest is the frame as it stands. The
// handlers record their calls and answer with words taken from the input,
// out-of-range ones included. Each result is compared with what an
// independent reading of the frame says it must be.
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/errors.h"
#include "codec/long_frames.h"
#include "codec/mew_static.h"
#include "codec/text.h"
#include "fuzz_common.h"
#include "link/mew_slave_base.h"

namespace {

using mew::MewStatic;
namespace text = mew::text;
using Words = mew::MewSlaveBase::Words;

struct Call {
    std::string hook;
    std::string name;
    std::int64_t count = 0;
    bool value = false;
    Words values;
};

class RecordingSlave : public mew::MewSlaveBase {
public:
    RecordingSlave(std::string_view pool, bool coil) : MewSlaveBase(1), pool_(pool), coil_(coil) {}

    std::vector<Call> calls;
    std::vector<std::string> invalid;
    Words returned;

    void process_invalid_frame(std::string_view frame) override { invalid.emplace_back(frame); }

    bool on_get_coil(std::string_view name) override {
        calls.push_back({"get_coil", std::string(name), 0, false, {}});
        return coil_;
    }
    void on_set_coil(std::string_view name, bool value) override {
        calls.push_back({"set_coil", std::string(name), 0, value, {}});
    }
    Words on_get_multi_coil_uint16(std::string_view name, std::int64_t count) override {
        calls.push_back({"get_multi_coil", std::string(name), count, false, {}});
        return words_for(count);
    }
    void on_set_multi_coil_uint16(std::string_view name, const Words &values) override {
        calls.push_back({"set_multi_coil", std::string(name), 0, false, values});
    }
    Words on_get_multi_uint16(std::string_view name, std::int64_t count) override {
        calls.push_back({"get_multi", std::string(name), count, false, {}});
        return words_for(count);
    }
    void on_set_multi_uint16(std::string_view name, const Words &values) override {
        calls.push_back({"set_multi", std::string(name), 0, false, values});
    }

private:
    std::string_view pool_;
    bool coil_;
    std::size_t next_ = 0;

    unsigned byte() { return pool_.empty() ? 0 : static_cast<unsigned char>(pool_[next_++ % pool_.size()]); }

    // About as many words as asked, sometimes one more or one fewer; most in
    // range, some far outside it, as a careless handler might return.
    Words words_for(std::int64_t count) {
        std::int64_t n =
            std::max<std::int64_t>(0, std::min<std::int64_t>(count, 40)) + static_cast<int>(byte() % 3) - 1;
        Words out;
        for (std::int64_t i = 0; i < n; ++i) {
            unsigned b = byte();
            switch (b % 8) {
                case 0:
                    out.push_back(-1 - static_cast<std::int64_t>(b));
                    break;
                case 1:
                    out.push_back(0x10000 + b * 977);
                    break;
                case 2:
                    out.push_back(std::numeric_limits<std::int64_t>::min() + b);
                    break;
                case 3:
                    out.push_back(std::numeric_limits<std::int64_t>::max() - b);
                    break;
                default:
                    out.push_back(static_cast<std::int64_t>((b << 8) | byte()));
                    break;
            }
        }
        returned = out;
        return out;
    }
};

// The host's format(v, "02X").
std::string hex02(std::int64_t v) {
    static const char digits[] = "0123456789ABCDEF";
    std::uint64_t u = v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
    std::string out;
    do {
        out.insert(out.begin(), digits[u & 15]);
        u >>= 4;
    } while (u);
    if (v < 0) out.insert(out.begin(), '-');
    if (out.size() < 2) out.insert(out.begin(), 2 - out.size(), '0');
    return out;
}

std::vector<std::string_view> chars(std::string_view s) {
    std::vector<std::string_view> out;
    for (std::size_t i = 0; i < s.size();) {
        std::size_t e = i + 1;
        while (e < s.size() && text::is_continuation(static_cast<unsigned char>(s[e]))) ++e;
        out.push_back(s.substr(i, e - i));
        i = e;
    }
    return out;
}

// What processing the frame must do, read independently of the slave:
// the hook to call with its arguments and the response, or that the frame
// is turned away or unreadable.
struct Expectation {
    enum Kind { kInvalid, kOtherStation, kUnreadable, kAnswer } kind = kInvalid;
    std::optional<Call> call;  // the hook call; its result comes from the slave's record
    std::string head;          // the response up to its type character
    std::string code;          // the command code, or empty for an unknown one
};

Expectation expect(const std::string &command) {
    Expectation e;
    auto cs = chars(command);
    auto n = static_cast<std::int64_t>(cs.size());
    // Fields are read from what comes before the check code.
    const std::int64_t nb = std::max<std::int64_t>(n - 3, 0);
    auto field = [&](std::int64_t from, std::int64_t to) {
        std::string out;
        for (std::int64_t i = std::max<std::int64_t>(from, 0); i < std::min(to, nb); ++i)
            out.append(cs[static_cast<std::size_t>(i)]);
        return out;
    };
    bool check = false;
    if (n < 9 || command[0] != '%' || !fuzz::attempt([&] { check = MewStatic::crc_is_ok(command); }) ||
        !check)
        return e;

    // A station field too long for 64 bits names some other station.
    std::int64_t station = -1;
    bool too_long = false;
    if (!fuzz::attempt([&] {
            try {
                station = MewStatic::parse_station(command);
            } catch (const mew::OverflowError &) {
                too_long = true;
            }
        })) {
        e.kind = Expectation::kUnreadable;
        return e;
    }
    if (too_long || station != 1) {
        e.kind = Expectation::kOtherStation;
        return e;
    }

    std::int64_t type_at = MewStatic::find_station_end(command);
    // The head is the frame up to the type character, in the host's slice
    // terms: a frame without one loses only its last character.
    for (std::int64_t i = 0; i < (type_at < 0 ? n - 1 : type_at); ++i)
        e.head.append(cs[static_cast<std::size_t>(i)]);
    std::string_view cmd = MewStatic::parse_command(command);
    std::int64_t pos = type_at + 1 + static_cast<std::int64_t>(cmd.size());
    e.kind = Expectation::kAnswer;
    if (cmd == MewStatic::CMD_UNKNOWN) return e;
    e.code = std::string(cmd);

    Call call;
    if (cmd == "RCS" || cmd == "WCS") {
        call.hook = cmd == "RCS" ? "get_coil" : "set_coil";
        call.name = field(pos, pos + 5);
        if (cmd == "WCS") {
            if (pos + 5 >= nb) {
                e.kind = Expectation::kUnreadable;
                return e;
            }
            call.value = cs[static_cast<std::size_t>(pos + 5)] != "0";
        }
        e.call = call;
        return e;
    }
    bool words = cmd == "RCC" || cmd == "WCC";
    std::int64_t start_len = words ? 5 : 6, end_len = words ? 4 : 5;
    std::int64_t first = 0, last = 0;
    if (!fuzz::attempt([&] {
            first = text::parse_int(field(pos + 1, pos + start_len), 10);
            last = text::parse_int(field(pos + start_len, pos + start_len + end_len), 10);
        })) {
        e.kind = Expectation::kUnreadable;
        return e;
    }
    call.name = field(pos, pos + start_len);
    call.count = last - first + 1;
    if (cmd == "RCC" || cmd == "RD") {
        call.hook = words ? "get_multi_coil" : "get_multi";
    } else {
        call.hook = words ? "set_multi_coil" : "set_multi";
        std::int64_t from = pos + start_len + end_len;
        for (std::int64_t i = 0; i < call.count; ++i) {
            // A data group cut short is no word, nor is anything but four
            // hexadecimal digits.
            std::int64_t v =
                from + 4 * i + 4 > nb ? -1 : MewStatic::try_read_word(field(from + 4 * i, from + 4 * i + 4));
            if (v < 0) {
                e.kind = Expectation::kUnreadable;
                return e;
            }
            call.values.push_back(v);
        }
        call.count = 0;
    }
    e.call = call;
    return e;
}

bool same_call(const Call &a, const Call &b) {
    return a.hook == b.hook && a.name == b.name && a.count == b.count && a.value == b.value &&
           a.values == b.values;
}

// The same command answered by a slave with a frame limit: the frames it
// sends one by one, each within the limit and with its own check code, join
// to the response a slave without one sends.
void transfer_in_frames(std::string_view pool, bool coil, const std::string &command) {
    if (command.empty() || command[0] != '%') return;
    RecordingSlave whole(pool, coil), framed(pool, coil);
    framed.set_frame_limit(mew::frames::kShortFrameLimit);
    if (mew::frames::is_continuation_request(command)) {
        // Nothing was asked before: a controller says the procedure is wrong.
        const std::string answer = static_cast<mew::MewSlaveBase &>(framed).answer(command);
        FUZZ_CHECK(answer.empty() || answer == MewStatic::append_tail(command.substr(0, 3) + "!43"));
        return;
    }
    std::optional<std::string> expected, frame;
    fuzz::attempt([&] { expected = whole.process_request(command); });
    mew::MewSlaveBase &slave = framed;
    if (!fuzz::attempt([&] { frame = slave.answer(command); })) {
        FUZZ_CHECK(!expected);
        return;
    }
    FUZZ_CHECK(expected.has_value());
    // Further frames repeat the header and station: everything before the type.
    const std::int64_t type_at = MewStatic::station_end_offset(*expected);
    const std::size_t head = type_at > 0 ? static_cast<std::size_t>(type_at) : 0;
    std::string joined;
    for (bool first = true;; first = false) {
        // A station field of other than two characters cannot lead further
        // frames: such a response goes whole.
        FUZZ_CHECK(frame->size() <= static_cast<std::size_t>(mew::frames::kShortFrameLimit) ||
                   (first && !mew::frames::is_continued(*frame)));
        const std::string plain = mew::frames::without_continued_mark(*frame);
        if (!plain.empty()) FUZZ_CHECK(MewStatic::crc_is_ok(plain));
        const std::size_t from = first ? 0 : head;
        FUZZ_CHECK(plain.empty() || plain.size() >= from + 3);
        if (!plain.empty()) joined += plain.substr(from, plain.size() - from - 3);
        if (!mew::frames::is_continued(*frame)) break;
        FUZZ_CHECK(slave.transfer_pending());
        frame = slave.answer(mew::frames::continuation_request(*frame));
    }
    FUZZ_CHECK(!slave.transfer_pending());
    FUZZ_CHECK(expected->empty() ? joined.empty() : MewStatic::append_tail(joined) == *expected);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::silence_core();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0) return 0;
    const unsigned steer = data[0];
    std::string body = fuzz::as_text(fuzz::bytes_of(data + 1, size - 1));
    std::string command;
    if (steer % 2 == 0)
        command = MewStatic::append_tail((steer & 2) ? "%01#" + body : body);
    else
        command = body;

    if (steer & 8) transfer_in_frames(fuzz::bytes_of(data, size), (steer & 4) != 0, command);
    RecordingSlave slave(fuzz::bytes_of(data, size), (steer & 4) != 0);
    std::optional<std::string> response;
    fuzz::attempt([&] { response = slave.process_request(command); });

    // Whatever comes back is nothing or a whole frame.
    if (response && !response->empty()) {
        FUZZ_CHECK(response->front() == '%' && response->back() == '\r');
        bool ok = false;
        FUZZ_CHECK(fuzz::attempt([&] { ok = MewStatic::crc_is_ok(*response); }) && ok);
    }

    Expectation e = expect(command);
    switch (e.kind) {
        case Expectation::kInvalid:
            FUZZ_CHECK(response && response->empty() && slave.calls.empty());
            FUZZ_CHECK(slave.invalid.size() == 1 && slave.invalid[0] == command);
            return 0;
        case Expectation::kOtherStation:
            FUZZ_CHECK(response && response->empty() && slave.calls.empty() && slave.invalid.empty());
            return 0;
        case Expectation::kUnreadable:
            // Nothing is answered, and no write hook sees part of a frame.
            FUZZ_CHECK(!response && slave.calls.empty());
            return 0;
        case Expectation::kAnswer:
            break;
    }
    // A read hook's value that does not fit a word is not answered at all.
    if (e.call && (e.code == "RCC" || e.code == "RD"))
        for (std::int64_t v : slave.returned)
            if (v < 0 || v > 0xFFFF) {
                FUZZ_CHECK(!response && slave.calls.size() == 1 && same_call(slave.calls[0], *e.call));
                return 0;
            }
    FUZZ_CHECK(response.has_value() && slave.invalid.empty());
    std::string body_out = e.head;
    if (!e.call) {
        FUZZ_CHECK(slave.calls.empty());
        body_out += "!03";
    } else {
        FUZZ_CHECK(slave.calls.size() == 1 && same_call(slave.calls[0], *e.call));
        body_out += "$" + e.code.substr(0, 2);
        if (e.code == "RCS") body_out += (steer & 4) ? "1" : "0";
        if (e.code == "RCC" || e.code == "RD")
            for (std::int64_t v : slave.returned) body_out += hex02(v & 0xFF) + hex02(v >> 8);
    }
    FUZZ_CHECK(*response == MewStatic::append_tail(body_out));
    return 0;
}
