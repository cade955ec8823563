// One point's latest reading, written by one thread (the poller's) and read
// by any thread at any moment without a lock: a sequence lock. The counter
// is odd while a write is under way; a reader copies the fields and copies
// again when the counter moved meanwhile, so that it never sees a value of
// one read with the time of another. The fields are atomics read and
// written relaxed, so that a copy racing a write is defined behaviour; the
// fences order them against the counter.
//
// The error text, rare and of any length, is an immutable string published
// with the atomic operations of shared_ptr, inside the same write.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <variant>

namespace mew {

template <class Value>
class ReadingCell {
public:
    struct Copy {
        Value value;
        double time = 0;
        double changed = 0;
        std::shared_ptr<const std::string> error;
    };

    // Only ever called from one thread at a time.
    void store(const Value &value, double time, double changed,
               const std::shared_ptr<const std::string> &error) {
        const std::uint32_t seq = seq_.load(std::memory_order_relaxed);
        seq_.store(seq + 1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        kind_.store(static_cast<std::uint32_t>(value.index()), std::memory_order_relaxed);
        bits_.store(encode(value), std::memory_order_relaxed);
        time_.store(time, std::memory_order_relaxed);
        changed_.store(changed, std::memory_order_relaxed);
        if (error != error_seen_) {
            std::atomic_store(&error_, error);
            error_seen_ = error;
        }
        has_error_.store(error != nullptr, std::memory_order_relaxed);
        seq_.store(seq + 2, std::memory_order_release);
    }

    Copy load() const {
        for (unsigned tries = 0;; ++tries) {
            const std::uint32_t before = seq_.load(std::memory_order_acquire);
            if (before & 1u) {
                // A write is a few stores long; yield should its thread have been preempted.
                if (tries > 64) std::this_thread::yield();
                continue;
            }
            Copy out;
            const std::uint32_t kind = kind_.load(std::memory_order_relaxed);
            const std::uint64_t bits = bits_.load(std::memory_order_relaxed);
            out.time = time_.load(std::memory_order_relaxed);
            out.changed = changed_.load(std::memory_order_relaxed);
            if (has_error_.load(std::memory_order_relaxed)) out.error = std::atomic_load(&error_);
            std::atomic_thread_fence(std::memory_order_acquire);
            if (seq_.load(std::memory_order_relaxed) != before) continue;
            out.value = decode(kind, bits);
            return out;
        }
    }

private:
    static std::uint64_t encode(const Value &value) {
        std::uint64_t bits = 0;
        std::visit(
            [&bits](const auto &v) {
                if constexpr (sizeof(v) <= sizeof bits &&
                              std::is_trivially_copyable_v<std::decay_t<decltype(v)>>)
                    std::memcpy(&bits, &v, sizeof v);
            },
            value);
        return bits;
    }

    template <std::size_t I = 0>
    static Value decode(std::uint32_t kind, std::uint64_t bits) {
        if constexpr (I < std::variant_size_v<Value>) {
            if (kind != I) return decode<I + 1>(kind, bits);
            using T = std::variant_alternative_t<I, Value>;
            T v{};
            if constexpr (sizeof(T) <= sizeof bits && std::is_trivially_copyable_v<T>)
                std::memcpy(&v, &bits, sizeof v);
            return Value(std::in_place_index<I>, v);
        } else {
            return Value();
        }
    }

    std::atomic<std::uint32_t> seq_{0};
    std::atomic<std::uint32_t> kind_{0};
    std::atomic<std::uint64_t> bits_{0};
    std::atomic<double> time_{0};
    std::atomic<double> changed_{0};
    std::atomic<bool> has_error_{false};
    std::shared_ptr<const std::string> error_;       // through std::atomic_load/atomic_store only
    std::shared_ptr<const std::string> error_seen_;  // the writer's own copy: no atomic store when unchanged
};

}  // namespace mew
