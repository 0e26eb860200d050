// PresenceBackend: the one question the platform answers for the agent, "is
// the person at the machine here and do they agree?". No platform types here;
// each platform file defines make_platform_backend().
//
// Thread-safety: evaluate() is never called for two checks at once (the
// PresenceChecker's gate sees to that), but it may be called from different
// threads one after another.
//
//   std::unique_ptr<PresenceBackend> backend = make_platform_backend();
//   PresenceOutcome outcome = backend->evaluate({"unlock the deploy key"});
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <string_view>

#include "presence/presence_error.h"

namespace tarnwel {

// The program at the other end of the connection that asked, as the agent saw
// it when it accepted the connection.
struct Requester {
  pid_t pid = 0;           // 0 when the system would not tell
  std::string executable;  // its path; empty when the system would not tell
  // Whether the prompt names it. One that is not shown still tells the
  // project's own askpass program whose question it posts (its process id).
  bool shown = true;
  uid_t uid = 0;  // its effective user id, as polkit's subject names it
  // The agent's end of its connection, which reports a hang-up once the
  // requester has closed it (not a mere half-close); -1 when none.
  int connection = -1;
};

struct PresenceRequest {
  // The client's reason, exactly as received.
  std::string_view reason;
  // The program that asks, when known; the prompt names it if `shown`. Borrowed.
  const Requester* requester = nullptr;
  // The profile the secret is for, which the agent's own confirmation names.
  std::string_view profile = {};
};

// What the user is shown: the reason as given, and with a shown requester a second
// line "Requested by /usr/bin/git (pid 4242)". The path is shown on one line,
// with control characters and line separators replaced, so the agent's line
// is always the last one and always whole.
std::string prompt_text(const PresenceRequest& request);

class PresenceBackend {
 public:
  virtual ~PresenceBackend() = default;

  // Asks for confirmation, showing prompt_text(request). Blocks until the
  // platform answers or the backend's own wait ends (TimedOut).
  virtual PresenceOutcome evaluate(const PresenceRequest& request) = 0;
};

// How the agent's own confirmation asks where the platform has no service of
// its own (ignored on macOS).
struct PlatformBackendOptions {
  // A plain yes/no answer instead of the user's login password.
  bool confirm_yes_no = false;
};

// The backend this platform installs: LocalAuthentication on macOS, an askpass
// program elsewhere.
std::unique_ptr<PresenceBackend> make_platform_backend(const PlatformBackendOptions& options = {});

}  // namespace tarnwel
