// PresenceBackend: the one question the platform answers for the agent, "is
// the person at the machine here and do they agree?". No platform types here;
// each platform file defines make_platform_backend().
//
// Thread-safety: evaluate() is never called for two checks at once (the
// PresenceChecker's gate sees to that), but it may be called from different
// threads one after another.
//
//   std::unique_ptr<PresenceBackend> backend = make_platform_backend();
//   PresenceOutcome outcome = backend->evaluate("unlock the deploy key");
#pragma once

#include <memory>
#include <string_view>

#include "presence/presence_error.h"

namespace tarnwel {

class PresenceBackend {
 public:
  virtual ~PresenceBackend() = default;

  // Asks for confirmation, showing `reason` exactly as given. Blocks until the
  // platform answers or the backend's own wait ends (TimedOut).
  virtual PresenceOutcome evaluate(std::string_view reason) = 0;
};

// The backend this platform installs: LocalAuthentication on macOS, an askpass
// program elsewhere.
std::unique_ptr<PresenceBackend> make_platform_backend();

}  // namespace tarnwel
