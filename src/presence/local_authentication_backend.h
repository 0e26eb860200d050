// LocalAuthenticationBackend: asks the platform's LocalAuthentication service
// to confirm that the device owner is present (policy 2 unless told otherwise:
// biometrics, watch or password), with the reason shown exactly as given.
//
// The service answers on a thread of its own; the answer travels back through
// a ReplyChannel and evaluate() waits for it until `wait` has passed on the
// monotonic clock. A prompt still on screen then is not withdrawn, and its
// late answer is dropped.
//
// An empty reason is Denied with "a non-empty reason is required" before the
// service is touched (it would raise). When the service cannot be driven at
// all (its class is missing, no context or reason string is created, the reply
// block cannot be copied, a message raises an Objective-C exception), the
// evaluation ends abnormally: evaluate() fails closed with a
// PresenceError::abnormal_end, a Denied whose text begins "could not start
// local authentication: ", so that a PresenceChecker gives its joiners Busy.
// A reply whose error raises while it is read ends the same way, with "local
// authentication raised while replying".
// It never returns Unsupported: this backend is only installed where the
// service exists. Each evaluation runs in an autorelease pool of its own.
//
// Thread-safety: evaluate() may run on any thread but not on two at once, as
// PresenceBackend requires.
//
//   LocalAuthenticationBackend backend;  // policy 2, waits up to 120 s
//   PresenceOutcome outcome = backend.evaluate({"unlock the deploy key"});
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string_view>

#include "base/clock.h"
#include "presence/presence_backend.h"

namespace tarnwel {

// The framework's LAPolicy values. The agent always asks for the device
// owner (biometrics, watch or password); tests on a Mac without biometrics use
// the biometrics-only policy, which the framework refuses at once there.
enum class LocalAuthenticationPolicy : long {
  DeviceOwnerAuthenticationWithBiometrics = 1,
  DeviceOwnerAuthentication = 2,
};

class LocalAuthenticationBackend final : public PresenceBackend {
 public:
  static constexpr std::chrono::seconds DEFAULT_WAIT{120};

  explicit LocalAuthenticationBackend(
      MonotonicClock::duration wait = DEFAULT_WAIT,
      LocalAuthenticationPolicy policy = LocalAuthenticationPolicy::DeviceOwnerAuthentication);
  ~LocalAuthenticationBackend() override;

  PresenceOutcome evaluate(const PresenceRequest& request) override;

 private:
  struct Classes;

  // The evaluation itself, inside evaluate()'s autorelease pool and catch.
  PresenceOutcome evaluate_in_pool(std::string_view reason);

  const MonotonicClock::duration wait_;
  const LocalAuthenticationPolicy policy_;
  // Looked up by name on the first evaluation, then kept.
  std::once_flag classes_once_;
  std::unique_ptr<const Classes> classes_;
};

}  // namespace tarnwel
