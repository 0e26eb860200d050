#include "server/socket_takeover.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "base/clock.h"
#include "base/os_error.h"
#include "base/unix_socket.h"
#include "paths/runtime_dir.h"
#include "protocol/framing.h"
#include "protocol/version.h"

namespace tarnwel {
namespace {

// While it lives, files this process creates get at most mode 0600 (a bound
// socket takes its mode from the mask at bind, so no chmod after it leaves a
// moment in which others may connect). Meant for start-up, before any thread
// that creates files: the mask is per process.
class PrivateFileMask {
 public:
  PrivateFileMask() : before_(::umask(0177)) {}
  ~PrivateFileMask() { ::umask(before_); }
  PrivateFileMask(const PrivateFileMask&) = delete;
  PrivateFileMask& operator=(const PrivateFileMask&) = delete;

 private:
  mode_t before_;
};

bool exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// True when an agent at `path` answers a "ping" with "ok": true.
bool probe_existing_agent(const std::string& path) {
  Result<UniqueFd, SysError> stream = connect_unix(path);
  if (!stream.ok()) return false;
  const Json probe = {{"cmd", "ping"}, {"protocol_version", PROTOCOL_VERSION}};
  if (!write_message(stream.value().get(), probe).ok()) return false;
  const Result<Json, FramingError> reply = read_message(stream.value().get(), PROBE_TIMEOUT);
  if (!reply.ok()) return false;
  const auto ok = reply.value().find("ok");
  return ok != reply.value().end() && ok->is_boolean() && ok->get<bool>();
}

// The probe failed: an agent that is stopping removes its own socket soon, so
// give it a moment before removing whatever is left.
// Fails with errno when the entry is there and cannot be removed.
Result<Ok, SysError> remove_stale_entry(const std::string& path) {
  const Instant deadline = MonotonicClock::now() + STALE_SOCKET_WAIT;
  while (exists(path) && MonotonicClock::now() < deadline) {
    std::this_thread::sleep_for(STALE_SOCKET_POLL);
  }
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return SysError{errno};
  return Ok{};
}

std::string bind_failed(const std::string& path, SysError err) {
  return "could not bind " + display_path(path) + ": " + err.text();
}

}  // namespace

Result<std::optional<UniqueFd>, std::string> bind_own_socket(const std::string& path) {
  if (exists(path)) {
    if (probe_existing_agent(path)) return std::optional<UniqueFd>();
    if (const Result<Ok, SysError> removed = remove_stale_entry(path); !removed.ok()) {
      return bind_failed(path, removed.error());
    }
  }
  // The directory is private already; the socket is made private too, from
  // the moment it appears, even if the directory's mode is ever loosened.
  Result<UniqueFd, SysError> listener = [&] {
    const PrivateFileMask private_mask;
    return listen_unix(path);
  }();
  if (!listener.ok()) return bind_failed(path, listener.error());
  return std::optional<UniqueFd>(std::move(listener).value());
}

}  // namespace tarnwel
