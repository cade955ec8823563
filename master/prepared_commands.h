// The last few read commands a master built, kept with everything that built
// them: a script reads the same registers in a loop, and the frame of such a
// read is then copied instead of built again.
//
// Only a command that was built is kept, so inputs that fail go to the
// builder, and fail the same way, every time. A frame depends on nothing but
// its key (the station field is the one the master's numbering made, and the
// header of long frames is put on later), so no setting of the master can
// leave a stale frame here.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "codec/mew_static.h"

namespace mew {

class PreparedCommands {
public:
    // The reads whose frames are kept: their command codes.
    enum class Read : char { kData = 'D', kContactWords = 'C', kContact = 'S' };

    // The frame kept for these inputs, written into `out` (empty); false
    // when there is none, or another thread is using the cache right now.
    bool find(Read read, std::int64_t station_field, std::string_view name, std::int64_t count,
              CommandBuffer &out);
    // Keeps `frame`, built from these inputs, in place of the oldest entry;
    // a name or a frame too long for an entry (or empty) is not kept.
    void keep(Read read, std::int64_t station_field, std::string_view name, std::int64_t count,
              std::string_view frame);

private:
    // Register and contact names are a few characters ("DT100", "WR12");
    // frames of such reads are under forty.
    static constexpr std::size_t kLongestName = 16;
    static constexpr std::size_t kLongestFrame = 48;
    static constexpr std::size_t kEntries = 4;

    struct Entry {
        std::int64_t station = 0;
        std::int64_t count = 0;
        Read read = Read::kData;
        unsigned char name_size = 0;  // 0: an empty entry (names are never empty)
        unsigned char frame_size = 0;
        char name[kLongestName];
        char frame[kLongestFrame];
    };

    // Held while an entry is read or written. A thread that finds it taken
    // builds its frame instead of waiting: a read never waits for the cache.
    class Hold {
    public:
        explicit Hold(std::atomic_flag &busy)
            : busy_(busy), held_(!busy.test_and_set(std::memory_order_acquire)) {}
        ~Hold() {
            if (held_) busy_.clear(std::memory_order_release);
        }
        Hold(const Hold &) = delete;
        Hold &operator=(const Hold &) = delete;
        explicit operator bool() const { return held_; }

    private:
        std::atomic_flag &busy_;
        bool held_;
    };

    std::atomic_flag busy_ = ATOMIC_FLAG_INIT;
    std::array<Entry, kEntries> entries_{};
    std::size_t oldest_ = 0;
};

}  // namespace mew
