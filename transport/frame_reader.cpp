#include "transport/frame_reader.h"

#include <chrono>
#include <cstring>

#include "base/errors.h"
#include "codec/text.h"

namespace mew {

namespace {
// Every byte from 0x80 up as its two bytes of UTF-8. Out of line: the
// ASCII path of every frame stays a look and a copy.
[[gnu::noinline]] std::string widened(std::string_view bytes) {
    std::string out;
    out.reserve(2 * bytes.size());
    for (unsigned char c : bytes) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}
}  // namespace

std::string latin1_to_utf8(std::string_view bytes) {
    // What the line carries is ASCII, the same text in both: one copy.
    if (text::is_ascii(bytes)) return std::string(bytes);
    return widened(bytes);
}

namespace {
// What one read of the source may bring at most.
constexpr std::size_t kChunk = 4096;
}  // namespace

bool FrameReader::read_more(double timeout, bool quietly) {
    if (pos_ == end_) pos_ = end_ = 0;
    if (buffer_.size() - end_ < kChunk) {
        // Keep the bytes not taken yet at the front, so that the buffer
        // does not grow with everything read before them.
        if (pos_ > 0) {
            std::memmove(&buffer_[0], &buffer_[pos_], end_ - pos_);
            end_ -= pos_;
            pos_ = 0;
        }
        if (buffer_.size() - end_ < kChunk) buffer_.resize(end_ + kChunk);
    }
    const std::size_t n = quietly ? source_.read_some_quietly(&buffer_[end_], kChunk, timeout)
                                  : source_.read_some(&buffer_[end_], kChunk, timeout);
    end_ += n;
    return n != 0;
}

std::string FrameReader::take(std::size_t n) {
    std::string out = latin1_to_utf8(std::string_view(buffer_.data() + pos_, n));
    pos_ += n;
    return out;
}

std::string FrameReader::read(std::int64_t size) {
    std::lock_guard<QuickMutex> lock(mutex_);
    if (size <= 0) return {};
    auto wanted = static_cast<std::size_t>(size);
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::duration<double>(timeout_ < 0 ? 0 : timeout_);
    std::string raw;
    while (raw.size() < wanted) {
        std::size_t avail = end_ - pos_;
        if (avail) {
            std::size_t n = std::min(avail, wanted - raw.size());
            raw.append(buffer_.data() + pos_, n);
            pos_ += n;
            continue;
        }
        double left = timeout_ < 0 ? -1.0 : std::chrono::duration<double>(deadline - clock::now()).count();
        if (timeout_ >= 0 && left < 0) left = 0;
        if (!read_more(left)) break;
    }
    return latin1_to_utf8(raw);
}

std::string FrameReader::receive_frame() {
    std::lock_guard<QuickMutex> lock(mutex_);
    return frame_from(0);
}

std::string FrameReader::read_frame(std::atomic<bool> &started) {
    return read_frame(started, timeout_, false);
}

std::string FrameReader::read_frame(std::atomic<bool> &started, double first_byte) {
    return read_frame(started, first_byte, true);
}

std::string FrameReader::read_frame(std::atomic<bool> &started, double first_byte, bool quietly) {
    std::lock_guard<QuickMutex> lock(mutex_);
    if (pos_ == end_ && !read_more(first_byte, quietly)) return {};
    started.store(true, std::memory_order_relaxed);
    // The first byte is the frame's whatever it is, a CR included.
    return frame_from(1, quietly);
}

std::string FrameReader::frame_from(std::size_t taken, bool quietly) {
    // The frame starts at pos_ throughout (read_more() may move it);
    // `scanned` bytes of it hold no CR.
    std::size_t scanned = taken;
    for (;;) {
        const char *frame = buffer_.data() + pos_;
        const std::size_t have = end_ - pos_;
        if (const void *cr = std::memchr(frame + scanned, '\r', have - scanned))
            return take(static_cast<std::size_t>(static_cast<const char *>(cr) - frame) + 1);
        scanned = have;
        if (have > kMaxFrame) {
            pos_ = end_;
            throw IOError("Error: device response format invalid.");
        }
        if (!read_more(timeout_, quietly)) {
            const bool empty = have == taken;
            pos_ = end_;
            throw IOError(empty ? "Error: device no response." : "Error: device response format invalid.");
        }
    }
}

std::size_t FrameReader::buffered() const {
    std::lock_guard<QuickMutex> lock(mutex_);
    return end_ - pos_;
}

void FrameReader::discard() {
    std::lock_guard<QuickMutex> lock(mutex_);
    pos_ = end_ = 0;
}

}  // namespace mew
