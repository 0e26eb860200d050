#include "client/exchange.h"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/clock.h"
#include "base/line_reader.h"
#include "base/os_error.h"
#include "base/unix_socket.h"
#include "base/write_all.h"
#include "paths/runtime_dir.h"
#include "protocol/framing.h"

namespace tarnwel {
namespace {

ClientError stopped_agent() {
  return ClientError::no_agent("no agent is running (the agent stopped before answering)");
}

ClientError refused_dir(const std::string& socket_path, const DirRefusal& refusal) {
  return ClientError::untrusted("refusing to talk to " + display_path(socket_path) + ": " +
                                refusal.reason + way_out(refusal));
}

ClientError nothing_answers(const std::string& socket_path) {
  return ClientError::no_agent("no agent is running (nothing answers at " +
                               display_path(socket_path) + ")");
}

}  // namespace

ClientError too_large(std::size_t request_bytes) {
  return ClientError::transport("the request is " + std::to_string(request_bytes) +
                                " bytes, more than the " + std::to_string(MAX_MESSAGE_BYTES) +
                                " that the agent takes in one message; nothing was sent");
}

namespace {

Result<Ok, ClientError> send_all(int fd, std::string_view bytes) {
  if (write_all(fd, bytes)) return Ok{};
  if (errno == EPIPE || errno == ECONNRESET) return stopped_agent();
  return ClientError::transport("send to agent: " + os_error_text(errno));
}

// Reads one newline-terminated line from `fd` within `limit` and returns it
// without the newline; bytes after it are dropped.
Result<WipedBytes, ClientError> read_reply_line(int fd, std::chrono::nanoseconds limit) {
  // The terminator counts towards the limit, as the agent counts it.
  Result<WipedBytes, LineReadFailure> line =
      read_line(fd, MonotonicClock::now() + limit, MAX_MESSAGE_BYTES, LimitCounts::Line);
  if (line.ok()) return std::move(line).value();
  const LineReadFailure& failure = line.error();
  switch (failure.kind) {
    case LineReadFailure::Kind::TimedOut:
      return ClientError::transport("timed out waiting for the agent's reply");
    case LineReadFailure::Kind::ClosedBeforeData:
      return ClientError::transport("the agent closed the connection without a reply");
    case LineReadFailure::Kind::ClosedMidLine:
      return ClientError::transport("the agent closed the connection mid-reply");
    case LineReadFailure::Kind::TooLarge:
      return ClientError::transport("the agent's reply exceeds " +
                                    std::to_string(MAX_MESSAGE_BYTES) + " bytes");
    case LineReadFailure::Kind::PollFailed:
      return ClientError::transport("poll: " + failure.error.text());
    case LineReadFailure::Kind::TimeoutNotSet:  // not with WaitBy::Poll
    case LineReadFailure::Kind::ReadFailed: break;
  }
  // A reset before any reply: the agent closed its listener with this
  // connection still queued, which is how a stopping agent looks.
  if (failure.error.number == ECONNRESET && failure.bytes == 0) return stopped_agent();
  return ClientError::transport("read from agent: " + failure.error.text());
}

}  // namespace

Result<WipedBytes, ClientError> exchange(const std::string& socket_path, WipedBytes&& request_line,
                                         std::chrono::nanoseconds reply_limit) {
  // Owned here, so that every way out wipes it.
  WipedBytes line = std::move(request_line);
  // The agent would read only the first MAX_MESSAGE_BYTES of it and close
  // the connection: no part of such a request is worth sending.
  if (line.size() > MAX_MESSAGE_BYTES) return too_large(line.size());
  // Whoever can write to the socket's directory could have put a socket of
  // their own there: nothing is sent into a directory the agent would refuse.
  if (const Result<Ok, DirRefusal> dir = check_private_dir(directory_of(socket_path)); !dir.ok()) {
    if (dir.error().missing) return nothing_answers(socket_path);
    return refused_dir(socket_path, dir.error());
  }
  Result<UniqueFd, SysError> connected = connect_unix(socket_path);
  if (!connected.ok()) {
    const int err = connected.error().number;
    if (err == ENOENT || err == ECONNREFUSED) return nothing_answers(socket_path);
    return ClientError::transport("connect to " + display_path(socket_path) + ": " +
                                  os_error_text(err));
  }
  const UniqueFd fd = std::move(connected).value();
  // The directory may be ours and the listener still another user's (root
  // can put one anywhere): the request goes only to a process of this user.
  const Result<PeerCredentials, SysError> peer = peer_credentials(fd.get());
  if (!peer.ok()) {
    return ClientError::untrusted("refusing to talk to " + display_path(socket_path) +
                                  ": cannot tell who listens there: " + peer.error().text());
  }
  if (peer.value().uid != ::getuid()) {
    return ClientError::untrusted("refusing to talk to " + display_path(socket_path) +
                                  ": the process listening there runs as uid " +
                                  std::to_string(peer.value().uid) + ", not as this user's uid " +
                                  std::to_string(::getuid()));
  }
  // A library must not let an agent that closes early kill its host with SIGPIPE.
  suppress_sigpipe(fd.get());
  const Result<Ok, ClientError> sent = send_all(fd.get(), as_view(line));
  release(line);  // before the wait, which may last as long as the user is asked
  if (!sent.ok()) return sent.error();
  return read_reply_line(fd.get(), reply_limit);
}

}  // namespace tarnwel
