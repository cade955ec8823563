#include "master/prepared_commands.h"

namespace mew {

namespace {

// A name of a few characters: compared in place, without a call.
bool same(const char *kept, std::string_view name) {
    for (std::size_t i = 0; i < name.size(); ++i)
        if (kept[i] != name[i]) return false;
    return true;
}

}  // namespace

bool PreparedCommands::find(Read read, std::int64_t station_field, std::string_view name, std::int64_t count,
                            CommandBuffer &out) {
    if (name.size() > kLongestName || name.empty()) return false;
    const Hold hold(busy_);
    if (!hold) return false;
    for (const Entry &e : entries_) {
        // An empty entry has no name size that a name fits.
        if (e.name_size != name.size() || e.station != station_field || e.count != count || e.read != read)
            continue;
        if (same(e.name, name)) {
            out.put(std::string_view(e.frame, e.frame_size));
            return true;
        }
    }
    return false;
}

void PreparedCommands::keep(Read read, std::int64_t station_field, std::string_view name, std::int64_t count,
                            std::string_view frame) {
    if (name.size() > kLongestName || name.empty() || frame.empty() || frame.size() > kLongestFrame) return;
    const Hold hold(busy_);
    if (!hold) return;
    Entry &e = entries_[oldest_];
    oldest_ = (oldest_ + 1) % kEntries;
    e.station = station_field;
    e.count = count;
    e.read = read;
    e.name_size = static_cast<unsigned char>(name.size());
    std::memcpy(e.name, name.data(), name.size());
    e.frame_size = static_cast<unsigned char>(frame.size());
    std::memcpy(e.frame, frame.data(), frame.size());
}

}  // namespace mew
