// The slave half of a station: turns one received command frame into one
// response frame through six handlers. Owns no line; the stations that do
// derive from it as well.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace mew {

class MewSlaveBase {
public:
    using Words = std::vector<std::int64_t>;

    explicit MewSlaveBase(std::int64_t station) : station_(station) {}
    virtual ~MewSlaveBase() = default;

    std::int64_t station() const { return station_; }

    // The complete response to send, or empty when nothing is to be sent.
    virtual std::string process_request(std::string_view command);

    // What to send for a frame received: process_request's response, or,
    // with a frame limit, its first frame, the next frame for a request for
    // it, and error 43 for a command that breaks into a transfer.
    std::string answer(std::string_view frame);
    // The same for a client with a transfer of its own (a connection of a
    // server): `transfer` holds the frames it has yet to ask for. Virtual for
    // a slave that answers otherwise as a whole (a simulated device made
    // silent); the other answer goes through it.
    using Transfer = std::deque<std::string>;
    virtual std::string answer(std::string_view frame, Transfer &transfer);
    // Whether frames of a response wait for their request.
    bool transfer_pending() const;
    // Forgets the frames of the line's response not yet asked for, from any
    // thread, also while a frame is being answered.
    void drop_transfer();

    // With a frame limit a slave accepts the "<" header too and cuts long
    // responses into frames as controllers do; without one (the default) it
    // answers every command with one frame.
    std::int64_t frame_limit() const { return frame_limit_.load(); }
    void set_frame_limit(std::int64_t limit);
    bool decimal_stations() const { return decimal_stations_.load(); }
    void set_decimal_stations(bool decimal) { decimal_stations_ = decimal; }
    // Reports a frame that is too short, has a wrong header or check code.
    virtual void process_invalid_frame(std::string_view frame);
    // Whether answering a frame runs only the library's own code (request
    // processing and the handlers): then the thread that read the frame may
    // answer it at once. A host's subclass whose handler or hook is its own
    // says no, and a worker answers, off the thread that reads the line.
    virtual bool native_answers() const { return true; }

    virtual bool on_get_coil(std::string_view name) = 0;
    virtual void on_set_coil(std::string_view name, bool value) = 0;
    virtual Words on_get_multi_coil_uint16(std::string_view name, std::int64_t count) = 0;
    virtual void on_set_multi_coil_uint16(std::string_view name, const Words &values) = 0;
    virtual Words on_get_multi_uint16(std::string_view name, std::int64_t count) = 0;
    virtual void on_set_multi_uint16(std::string_view name, const Words &values) = 0;

private:
    const std::int64_t station_;
    std::atomic<std::int64_t> frame_limit_{0};
    std::atomic<bool> decimal_stations_{false};
    mutable std::mutex transfer_mutex_;
    Transfer pending_frames_;
    // Counts drops: a transfer taken out to answer a frame goes back only
    // when none came meanwhile.
    std::uint64_t transfer_drops_ = 0;
};

// A list of integers as the host prints one: "[1, 2, 3]".
std::string list_text(const std::vector<std::int64_t> &values);

}  // namespace mew
