#include "protocol/framing.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>

#include "base/clock.h"
#include "base/os_error.h"
#include "base/utf8.h"
#include "base/write_all.h"
#include "protocol/json_text.h"

namespace tarnwel {
namespace {

// SO_RCVTIMEO from the time left. A zero timeval would mean "no limit", so
// anything under one microsecond is rounded up to one.
bool set_receive_timeout(int fd, std::chrono::nanoseconds left) {
  const auto micros =
      std::max<std::int64_t>(1, std::chrono::duration_cast<std::chrono::microseconds>(left).count());
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(micros / 1'000'000);
  tv.tv_usec = static_cast<suseconds_t>(micros % 1'000'000);
  return ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}

FramingError timed_out() { return FramingError{"timed out waiting for a message"}; }

FramingError too_large(std::size_t bytes) {
  return FramingError{"message too large (" + std::to_string(bytes) + " bytes)"};
}

}  // namespace

Result<Json, FramingError> read_message(int fd, std::chrono::nanoseconds limit) {
  const Instant deadline = MonotonicClock::now() + limit;
  std::string buffer;
  std::size_t newline = std::string::npos;
  while (newline == std::string::npos) {
    const auto left = deadline - MonotonicClock::now();
    if (left <= std::chrono::nanoseconds::zero()) return timed_out();
    if (!set_receive_timeout(fd, left)) {
      return FramingError{"could not set read timeout: " + os_error_text(errno)};
    }
    const std::size_t old_size = buffer.size();
    buffer.resize(old_size + READ_CHUNK_BYTES);
    const ssize_t n = ::read(fd, buffer.data() + old_size, READ_CHUNK_BYTES);
    if (n < 0) {
      const int err = errno;
      if (err == EAGAIN || err == EWOULDBLOCK) return timed_out();
      return FramingError{"read failed: " + os_error_text(err)};
    }
    buffer.resize(old_size + static_cast<std::size_t>(n));
    if (n == 0) {
      return FramingError{buffer.empty() ? "connection closed before any data was received"
                                         : "connection closed mid-message"};
    }
    // The size test comes first: a frame that ends in time is still refused
    // when the same read brought bytes that push the buffer over the limit.
    if (buffer.size() > MAX_MESSAGE_BYTES) return too_large(buffer.size());
    newline = buffer.find('\n', old_size);
  }
  const std::string_view text(buffer.data(), newline);
  if (const auto bad = find_invalid_utf8(text)) {
    return FramingError{"malformed message: " + describe(*bad)};
  }
  Result<Json, JsonError> value = parse_json_text(text);
  if (!value.ok()) return FramingError{"malformed message: " + value.error().description};
  if (!value.value().is_object()) return FramingError{"message must be a JSON object"};
  return std::move(value).value();
}

Result<Ok, FramingError> write_message(int fd, const Json& value) {
  Result<std::string, JsonError> encoded = encode_compact(value);
  if (!encoded.ok()) return FramingError{"encode failed: " + encoded.error().description};
  std::string& frame = encoded.value();
  if (frame.size() > MAX_MESSAGE_BYTES - 1) return too_large(frame.size() + 1);
  frame += '\n';
  if (!write_all(fd, frame)) return FramingError{"write failed: " + os_error_text(errno)};
  return Ok{};
}

}  // namespace tarnwel
