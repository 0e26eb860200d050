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
#include <string_view>

#include "base/result.h"
#include "base/wiped_bytes.h"
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

// The frame write_message writes for `value`: its compact text and terminator.
Result<WipedBytes, FramingError> encode_message(const Json& value);

// Writes `frame`, a whole frame with its terminator, as write_message does,
// and refuses one over MAX_MESSAGE_BYTES as it does, writing nothing.
Result<Ok, FramingError> write_frame(int fd, std::string_view frame);

}  // namespace tarnwel
