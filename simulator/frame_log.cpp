#include "simulator/frame_log.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "base/errors.h"

namespace mew {

namespace {

std::string_view without_cr(std::string_view frame) {
    if (!frame.empty() && frame.back() == '\r') frame.remove_suffix(1);
    return frame;
}

}  // namespace

std::size_t FrameLog::oldest() const {
    return ring_.size() < static_cast<std::size_t>(capacity_.load()) ? 0 : next_;
}

void FrameLog::set_capacity(std::int64_t capacity) {
    if (capacity < 0 || capacity > kMaxCapacity)
        throw ValueError("a frame log keeps 0 to " + std::to_string(kMaxCapacity) + " frames, not " +
                         std::to_string(capacity));
    std::vector<Entry> kept;
    std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t keep = std::min(ring_.size(), static_cast<std::size_t>(capacity));
    kept.reserve(keep);
    const std::size_t from = oldest() + ring_.size() - keep;
    for (std::size_t i = 0; i < keep; ++i) kept.push_back(std::move(ring_[(from + i) % ring_.size()]));
    ring_.swap(kept);
    capacity_ = capacity;
    next_ = capacity > 0 ? ring_.size() % static_cast<std::size_t>(capacity) : 0;
}

void FrameLog::record(std::int64_t station, std::string_view command, std::string_view answer) {
    Entry entry;
    entry.time = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    entry.station = station;
    entry.command = without_cr(command);
    entry.answer = without_cr(answer);
    std::lock_guard<std::mutex> lock(mutex_);
    // Turned off since the caller looked.
    const std::size_t capacity = static_cast<std::size_t>(capacity_.load());
    if (capacity == 0) return;
    entry.seq = next_seq_++;
    if (ring_.size() < capacity) {
        ring_.push_back(std::move(entry));
        next_ = ring_.size() % capacity;
    } else {
        ring_[next_] = std::move(entry);
        next_ = (next_ + 1) % capacity;
    }
}

std::vector<FrameLog::Entry> FrameLog::after(std::int64_t after) const {
    std::vector<Entry> out;
    std::lock_guard<std::mutex> lock(mutex_);
    if (after >= next_seq_ - 1) return out;
    // The ring holds consecutive numbers up to the last one given.
    const std::int64_t first = next_seq_ - static_cast<std::int64_t>(ring_.size());
    const std::size_t skip = after < first ? 0 : static_cast<std::size_t>(after + 1 - first);
    const std::size_t start = oldest();
    out.reserve(ring_.size() - skip);
    for (std::size_t i = skip; i < ring_.size(); ++i) out.push_back(ring_[(start + i) % ring_.size()]);
    return out;
}

}  // namespace mew
