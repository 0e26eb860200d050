#include "client/exchange.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "base/clock.h"
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

// Milliseconds for poll(), rounded up so that a wait never ends early.
int poll_timeout(Instant deadline) {
  const auto left = deadline - MonotonicClock::now();
  if (left <= MonotonicClock::duration::zero()) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<int>(std::min<decltype(ms)>(ms, 1'000'000'000));
}

}  // namespace

Result<WipedBytes, ClientError> read_reply_line(int fd, std::chrono::nanoseconds limit) {
  const Instant deadline = MonotonicClock::now() + limit;
  WipedBytes line;
  while (true) {
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, poll_timeout(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return ClientError::transport("poll: " + os_error_text(errno));
    if (ready == 0) return ClientError::transport("timed out waiting for the agent's reply");

    // Read straight into the wiped buffer: no stack copy of the reply is left.
    const std::size_t old_size = line.size();
    line.resize(old_size + READ_CHUNK_BYTES);
    const ssize_t n = ::read(fd, line.data() + old_size, READ_CHUNK_BYTES);
    line.resize(old_size + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    if (n < 0 && errno == EINTR) continue;
    // A reset before any reply: the agent closed its listener with this
    // connection still queued, which is how a stopping agent looks.
    if (n < 0 && errno == ECONNRESET && line.empty()) return stopped_agent();
    if (n < 0) return ClientError::transport("read from agent: " + os_error_text(errno));
    if (n == 0) {
      return ClientError::transport(line.empty()
                                        ? "the agent closed the connection without a reply"
                                        : "the agent closed the connection mid-reply");
    }
    const auto newline = std::find(line.begin() + static_cast<std::ptrdiff_t>(old_size),
                                   line.end(), '\n');
    if (newline != line.end()) {
      line.erase(newline, line.end());
      // The terminator counts towards the limit, as the agent counts it.
      if (line.size() + 1 > MAX_MESSAGE_BYTES) break;
      return line;
    }
    if (line.size() > MAX_MESSAGE_BYTES) break;
  }
  return ClientError::transport("the agent's reply exceeds " + std::to_string(MAX_MESSAGE_BYTES) +
                                " bytes");
}

Result<WipedBytes, ClientError> exchange(const std::string& socket_path,
                                         const WipedBytes& request_line,
                                         std::chrono::nanoseconds reply_limit) {
  // The agent would read only the first MAX_MESSAGE_BYTES of it and close
  // the connection: no part of such a request is worth sending.
  if (request_line.size() > MAX_MESSAGE_BYTES) return too_large(request_line.size());
  // Whoever can write to the socket's directory could have put a socket of
  // their own there: nothing is sent into a directory the agent would refuse.
  if (const Result<Ok, DirRefusal> dir = check_private_dir(directory_of(socket_path)); !dir.ok()) {
    if (dir.error().missing) return nothing_answers(socket_path);
    return ClientError::untrusted("refusing to talk to " + display_path(socket_path) + ": " +
                                  dir.error().reason);
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
  const Result<uid_t, SysError> peer = peer_uid(fd.get());
  if (!peer.ok()) {
    return ClientError::untrusted(
        "refusing to talk to " + display_path(socket_path) +
        ": cannot tell who listens there: " + os_error_text(peer.error().number));
  }
  if (peer.value() != ::getuid()) {
    return ClientError::untrusted("refusing to talk to " + display_path(socket_path) +
                                  ": the process listening there runs as uid " +
                                  std::to_string(peer.value()) + ", not as this user's uid " +
                                  std::to_string(::getuid()));
  }
  // A library must not let an agent that closes early kill its host with SIGPIPE.
  suppress_sigpipe(fd.get());
  const Result<Ok, ClientError> sent = send_all(fd.get(), as_view(request_line));
  if (!sent.ok()) return sent.error();
  return read_reply_line(fd.get(), reply_limit);
}

}  // namespace tarnwel
