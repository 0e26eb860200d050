// LocalAuthenticationBackend: asks the platform's LocalAuthentication service
// to confirm that the device owner is present (policy 2: biometrics, watch or
// password), with the reason shown exactly as given.
//
// The service answers on a thread of its own; the answer travels back through
// a ReplyChannel and evaluate() waits for it until `wait` has passed on the
// monotonic clock. A prompt still on screen then is not withdrawn, and its
// late answer is dropped.
//
// When the service cannot be driven at all (its class is missing, no context
// or reason string is created, the reply block cannot be copied), nothing is
// shown and evaluate() fails closed with Denied, its text beginning "could not
// start local authentication: ". It never returns Unsupported: this backend is
// only installed where the service exists.
//
// Thread-safety: evaluate() may run on any thread but not on two at once, as
// PresenceBackend requires.
//
//   LocalAuthenticationBackend backend;  // waits up to 120 s
//   PresenceOutcome outcome = backend.evaluate({"unlock the deploy key"});
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string_view>

#include "base/clock.h"
#include "presence/presence_backend.h"

namespace tarnwel {

class LocalAuthenticationBackend final : public PresenceBackend {
 public:
  static constexpr std::chrono::seconds DEFAULT_WAIT{120};

  explicit LocalAuthenticationBackend(MonotonicClock::duration wait = DEFAULT_WAIT);
  ~LocalAuthenticationBackend() override;

  PresenceOutcome evaluate(const PresenceRequest& request) override;

 private:
  struct Classes;

  const MonotonicClock::duration wait_;
  // Looked up by name on the first evaluation, then kept.
  std::once_flag classes_once_;
  std::unique_ptr<const Classes> classes_;
};

}  // namespace tarnwel
