#include "protocol/framing.h"

#include "base/clock.h"
#include "base/line_reader.h"
#include "base/os_error.h"
#include "base/utf8.h"
#include "base/write_all.h"
#include "protocol/json_text.h"

namespace tarnwel {
namespace {

FramingError too_large(std::size_t bytes) {
  return FramingError{"message too large (" + std::to_string(bytes) + " bytes)"};
}

FramingError framing_error(const LineReadFailure& failure) {
  switch (failure.kind) {
    case LineReadFailure::Kind::TimedOut: return FramingError{"timed out waiting for a message"};
    case LineReadFailure::Kind::ClosedBeforeData:
      return FramingError{"connection closed before any data was received"};
    case LineReadFailure::Kind::ClosedMidLine: return FramingError{"connection closed mid-message"};
    case LineReadFailure::Kind::TooLarge: return too_large(failure.bytes);
    case LineReadFailure::Kind::TimeoutNotSet:
      return FramingError{"could not set read timeout: " + failure.error.text()};
    case LineReadFailure::Kind::PollFailed:
    case LineReadFailure::Kind::ReadFailed: break;
  }
  return FramingError{"read failed: " + failure.error.text()};
}

}  // namespace

Result<Json, FramingError> read_message(int fd, std::chrono::nanoseconds limit) {
  // Every byte received counts: a frame that ends in time is still refused
  // when the same read brought bytes that push the buffer over the limit.
  const Result<WipedBytes, LineReadFailure> line =
      read_line(fd, MonotonicClock::now() + limit, MAX_MESSAGE_BYTES, LimitCounts::Received,
                WaitBy::ReceiveTimeout);
  if (!line.ok()) return framing_error(line.error());
  const std::string_view text = as_view(line.value());
  if (const auto bad = find_invalid_utf8(text)) {
    return FramingError{"malformed message: " + describe(*bad)};
  }
  Result<Json, JsonError> value = parse_json_text(text);
  if (!value.ok()) return FramingError{"malformed message: " + value.error().description};
  if (!value.value().is_object()) return FramingError{"message must be a JSON object"};
  return std::move(value).value();
}

Result<WipedBytes, FramingError> encode_message(const Json& value) {
  WipedBytes frame;
  if (Result<Ok, JsonError> encoded = append_compact(frame, value); !encoded.ok()) {
    return FramingError{"encode failed: " + encoded.error().description};
  }
  frame.push_back('\n');
  return frame;
}

Result<Ok, FramingError> write_frame(int fd, std::string_view frame) {
  if (frame.size() > MAX_MESSAGE_BYTES) return too_large(frame.size());
  if (!write_all(fd, frame)) return FramingError{"write failed: " + os_error_text(errno)};
  return Ok{};
}

Result<Ok, FramingError> write_message(int fd, const Json& value) {
  const Result<WipedBytes, FramingError> frame = encode_message(value);
  if (!frame.ok()) return frame.error();
  return write_frame(fd, as_view(frame.value()));
}

}  // namespace tarnwel
