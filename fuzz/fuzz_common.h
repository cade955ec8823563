// What the fuzz targets share: how a violated property ends a run, which
// errors count as answers, and how fuzz bytes become the core's text.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "base/errors.h"
#include "base/runtime.h"
#include "transport/frame_reader.h"

// A trap rather than an exception or abort(): nothing in the core can catch
// it, and the fuzzer keeps the input as a crash.
#define FUZZ_CHECK(cond)                                                                         \
    do {                                                                                         \
        if (!(cond)) {                                                                           \
            std::fprintf(stderr, "property violated: %s at %s:%d\n", #cond, __FILE__, __LINE__); \
            __builtin_trap();                                                                    \
        }                                                                                        \
    } while (0)

namespace fuzz {

// Runs `body`; true when it returned. The core's own errors are answers to
// bad input and end the call quietly; anything else (std::out_of_range,
// std::length_error, ...) leaves the target, and libFuzzer reports it.
template <class Body>
bool attempt(Body &&body) {
    try {
        body();
        return true;
    } catch (const mew::Error &) {
        return false;
    }
}

// The same, for code that does no input or output: an IOError from it is as
// wrong as a foreign exception.
template <class Body>
bool attempt_pure(Body &&body) {
    try {
        body();
        return true;
    } catch (const mew::IOError &) {
        FUZZ_CHECK(!"IOError from an operation without input or output");
    } catch (const mew::Error &) {
    }
    return false;
}

// Strict UTF-8: what encoding a host string, or decoding received bytes as
// Latin-1, can produce (no overlong forms, no surrogates, nothing past
// U+10FFFF).
inline bool valid_utf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        auto c = static_cast<unsigned char>(s[i]);
        std::size_t n;
        std::uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            n = 1, cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            n = 2, cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            n = 3, cp = c & 0x07;
        } else {
            return false;
        }
        if (i + n >= s.size()) return false;
        for (std::size_t k = 1; k <= n; ++k) {
            auto d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        if ((n == 2 && cp < 0x800) || (n == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += n + 1;
    }
    return true;
}

// The core only ever sees valid UTF-8: text from the host, or received bytes
// decoded one character per byte. Fuzz bytes that are not valid UTF-8 are
// taken as received bytes.
inline std::string as_text(std::string_view bytes) {
    return valid_utf8(bytes) ? std::string(bytes) : mew::latin1_to_utf8(bytes);
}

inline std::string_view bytes_of(const std::uint8_t *data, std::size_t size) {
    return {reinterpret_cast<const char *>(data), size};
}

// The core's messages would flood the fuzzer's output and slow it down.
inline void silence_core() {
    mew::runtime::set_printer([](const std::string &) {});
}

}  // namespace fuzz
