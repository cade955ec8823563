#include "transport/frame_reader.h"

#include <chrono>
#include <cstring>

#include "base/errors.h"
#include "codec/text.h"

namespace mew {

std::string latin1_to_utf8(std::string_view bytes) {
    // What the line carries is ASCII, the same text in both: one copy.
    if (text::is_ascii(bytes)) return std::string(bytes);
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

bool FrameReader::fill(double timeout, bool quietly) {
    if (pos_ == buffer_.size()) {
        buffer_.clear();
        pos_ = 0;
    }
    return quietly ? source_.read_some_quietly(buffer_, 4096, timeout)
                   : source_.read_some(buffer_, 4096, timeout);
}

std::string FrameReader::take(std::size_t n) {
    std::string out = latin1_to_utf8(std::string_view(buffer_).substr(pos_, n));
    pos_ += n;
    return out;
}

std::string FrameReader::read(std::int64_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (size <= 0) return {};
    auto wanted = static_cast<std::size_t>(size);
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::duration<double>(timeout_ < 0 ? 0 : timeout_);
    std::string raw;
    while (raw.size() < wanted) {
        std::size_t avail = buffer_.size() - pos_;
        if (avail) {
            std::size_t n = std::min(avail, wanted - raw.size());
            raw.append(buffer_, pos_, n);
            pos_ += n;
            continue;
        }
        double left = timeout_ < 0 ? -1.0 : std::chrono::duration<double>(deadline - clock::now()).count();
        if (timeout_ >= 0 && left < 0) left = 0;
        if (!fill(left)) break;
    }
    return latin1_to_utf8(raw);
}

std::string FrameReader::receive_frame() {
    std::lock_guard<std::mutex> lock(mutex_);
    return frame_from(0);
}

std::string FrameReader::read_frame(std::atomic<bool> &started) {
    return read_frame(started, timeout_, false);
}

std::string FrameReader::read_frame(std::atomic<bool> &started, double first_byte) {
    return read_frame(started, first_byte, true);
}

std::string FrameReader::read_frame(std::atomic<bool> &started, double first_byte, bool quietly) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (pos_ == buffer_.size() && !fill(first_byte, quietly)) return {};
    started.store(true, std::memory_order_relaxed);
    // The first byte is the frame's whatever it is, a CR included.
    return frame_from(1, quietly);
}

std::string FrameReader::frame_from(std::size_t taken, bool quietly) {
    std::size_t start = pos_;
    std::size_t scanned = pos_ + taken;
    for (;;) {
        const char *base = buffer_.data();
        const void *cr = std::memchr(base + scanned, '\r', buffer_.size() - scanned);
        if (cr) {
            std::size_t end = static_cast<std::size_t>(static_cast<const char *>(cr) - base) + 1;
            pos_ = start;
            return take(end - start);
        }
        scanned = buffer_.size();
        if (scanned - start > kMaxFrame) {
            pos_ = buffer_.size();
            throw IOError("Error: device response format invalid.");
        }
        // Keep the partial frame at the front so the buffer does not grow
        // with everything read before it.
        if (start > 0) {
            buffer_.erase(0, start);
            scanned -= start;
            start = 0;
        }
        pos_ = start;
        bool got = quietly ? source_.read_some_quietly(buffer_, 4096, timeout_)
                           : source_.read_some(buffer_, 4096, timeout_);
        if (!got) {
            bool empty = buffer_.size() == start + taken;
            pos_ = buffer_.size();
            throw IOError(empty ? "Error: device no response." : "Error: device response format invalid.");
        }
    }
}

std::size_t FrameReader::buffered() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return buffer_.size() - pos_;
}

void FrameReader::discard() {
    std::lock_guard<std::mutex> lock(mutex_);
    buffer_.clear();
    pos_ = 0;
}

}  // namespace mew
