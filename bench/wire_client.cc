#include "wire_client.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "base/clock.h"
#include "base/unix_socket.h"

namespace tarnwel::bench {
namespace {

// Long enough for any reply of a healthy agent, short enough that a stuck one
// does not stall the whole run.
constexpr timeval REPLY_TIMEOUT{10, 0};

}  // namespace

std::string get_secret_request(std::string_view profile) {
  return R"({"cmd":"get_secret","profile":")" + std::string(profile) + R"(","protocol_version":2})";
}

std::string unlock_request(std::string_view profile, std::string_view secret) {
  return R"({"cmd":"unlock","profile":")" + std::string(profile) +
         R"(","protocol_version":2,"reason":"benchmark","secret":")" + std::string(secret) +
         R"("})";
}

UniqueFd connect_to(const std::string& socket_path) {
  Result<UniqueFd, SysError> stream = connect_unix(socket_path);
  if (!stream.ok()) return UniqueFd();
  (void)::setsockopt(stream.value().get(), SOL_SOCKET, SO_RCVTIMEO, &REPLY_TIMEOUT,
                     sizeof REPLY_TIMEOUT);
  return std::move(stream).value();
}

namespace {

// The reply's body once `received` holds all of it.
std::optional<std::string> complete_reply(std::string& received, Framing framing) {
  switch (framing) {
    case Framing::Line:
      if (const auto end = received.find('\n'); end != std::string::npos) {
        received.resize(end);
        return received;
      }
      return std::nullopt;
    case Framing::LengthPrefixed: {
      if (received.size() < 4) return std::nullopt;
      std::size_t length = 0;
      for (int i = 0; i < 4; ++i) length = length << 8 | static_cast<unsigned char>(received[i]);
      if (received.size() < 4 + length) return std::nullopt;
      return received.substr(4, length);
    }
    case Framing::UntilClose: return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> exchange_on(int fd, std::string_view request, Framing framing) {
  std::string frame(request);
  if (framing == Framing::Line) frame += '\n';
  std::string_view rest = frame;
  while (!rest.empty()) {
    const ssize_t n = ::send(fd, rest.data(), rest.size(), MSG_NOSIGNAL);
    // A server that gave up on the request may have answered before closing:
    // read that answer rather than report a bare send failure.
    if (n <= 0) break;
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
  std::string reply;
  char chunk[4096];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n == 0 && framing == Framing::UntilClose) return reply;
    if (n <= 0) return std::nullopt;
    reply.append(chunk, static_cast<std::size_t>(n));
    if (std::optional<std::string> body = complete_reply(reply, framing)) return body;
  }
}

ReplyKind classify(const std::optional<std::string>& reply, std::string_view ok_mark,
                   Framing framing) {
  if (!reply) return ReplyKind::Failed;
  if (framing != Framing::Line) {
    return reply->find(ok_mark) != std::string::npos ? ReplyKind::Ok : ReplyKind::Failed;
  }
  if (reply->empty() || reply->front() != '{' || reply->back() != '}') return ReplyKind::Failed;
  if (reply->find(ok_mark) != std::string::npos) return ReplyKind::Ok;
  if (reply->find(BUSY_MARK) != std::string::npos) return ReplyKind::Busy;
  return ReplyKind::Failed;
}

std::string describe_failure(const std::optional<std::string>& reply) {
  if (!reply) return "no reply";
  return reply->size() > 120 ? reply->substr(0, 120) + "..." : *reply;
}

Exchange request_once(const std::string& socket_path, std::string_view request,
                      std::string_view ok_mark, Framing framing) {
  const Instant start = MonotonicClock::now();
  const UniqueFd stream = connect_to(socket_path);
  if (!stream.valid()) return Exchange{ReplyKind::Failed, MonotonicClock::now() - start, "connect failed"};
  const std::optional<std::string> reply = exchange_on(stream.get(), request, framing);
  const ReplyKind kind = classify(reply, ok_mark, framing);
  return Exchange{kind, MonotonicClock::now() - start,
                  kind == ReplyKind::Failed ? describe_failure(reply) : std::string()};
}

}  // namespace tarnwel::bench
