// Error types of the core. Each maps to one Python exception in the module
// layer, so the core can report failures without knowing Python.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace mew {

struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// OSError (IOError) in Python: everything wrong on the line or in a response.
struct IOError : Error {
    using Error::Error;
};

// A device's error response: IOError with the protocol's message, carrying
// the error code as the device sent it (two characters, "42").
struct DeviceError : IOError {
    explicit DeviceError(std::string code_)
        : IOError("MEW communication error code(hex): " + code_), code(std::move(code_)) {}
    std::string code;
};

// An error of the serial port itself (the serial library's exception).
struct SerialError : IOError {
    using IOError::IOError;
};

// A connection to a device over a network that broke or that the device
// closed. The message names it ("connection to 127.0.0.1:9094 lost: closed
// by the peer"); the channel goes on and connects again at the next send.
struct ConnectionLost : IOError {
    explicit ConnectionLost(const std::string &message, std::uint64_t connection_ = 0)
        : IOError(message), connection(connection_) {}
    // Which of the channel's connections broke (they are numbered from 1 as
    // they are made); 0 when the channel does not say.
    std::uint64_t connection;
};

// No response within the query's time-out (TimeoutError in Python, an
// OSError): the protocol's message, and the station the command addressed
// (nothing when its station field cannot be read).
struct ResponseTimeout : IOError {
    explicit ResponseTimeout(std::optional<std::int64_t> station_ = std::nullopt)
        : IOError("MewMasterBase: device response timeout."), station(station_) {}
    std::optional<std::int64_t> station;
};

// A port used after it was closed.
struct PortClosedError : SerialError {
    PortClosedError() : SerialError("Attempting to use a port that is not open") {}
};

struct ValueError : Error {
    using Error::Error;
};

// A number field that is not a number in the base asked for. Carries the text
// so the binding can word the message exactly as the host's int() would.
struct NumberFormatError : ValueError {
    NumberFormatError(std::string text_, int base_);
    std::string text;
    int base;
};

struct IndexError : Error {
    IndexError() : Error("string index out of range") {}
    explicit IndexError(const std::string &msg) : Error(msg) {}
};

struct TypeError : Error {
    using Error::Error;
};

// struct.error in Python: the packing of a signed value failed.
struct StructError : Error {
    using Error::Error;
};

struct OverflowError : Error {
    using Error::Error;
};

// A violated argument precondition: AssertionError without a message.
struct AssertionFailure : Error {
    AssertionFailure() : Error("") {}
};

inline void require(bool condition) {
    if (!condition) throw AssertionFailure();
}

}  // namespace mew
