// Message framing: one JSON text and one 0x0A byte per message, both ways.
// Neither operation closes the stream or keeps state between calls; whatever
// read_message reads beyond the first terminator is discarded. Any number of
// threads may use them on different streams at once.
//
//   Result<Json, FramingError> request = read_message(fd, std::chrono::seconds(5));
//   if (!request.ok()) reply = error_response(..., request.error().text);
//   (void)write_message(fd, reply);
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "base/result.h"
#include "protocol/json.h"

namespace tarnwel {

// The largest frame either side accepts, terminator included.
inline constexpr std::size_t MAX_MESSAGE_BYTES = 1'000'000;

// Why a message could not be read or written; `text` is one of the fixed
// framing texts ("timed out waiting for a message", ...).
struct FramingError {
  std::string text;
  friend bool operator==(const FramingError&, const FramingError&) = default;
};

// Reads one message from the connected, blocking stream `fd` within `limit`
// (counted from the call, for the whole message) and returns its JSON object.
Result<Json, FramingError> read_message(int fd, std::chrono::nanoseconds limit);

// Encodes `value` compactly and writes it with its terminator, in one write
// call when the socket takes it.
Result<Ok, FramingError> write_message(int fd, const Json& value);

}  // namespace tarnwel
