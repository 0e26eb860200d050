// PresenceChecker: the presence-check part of the SecretCache. At most one
// check talks to the platform at a time in the whole agent (presence_gate_, only
// ever try-locked); concurrent requests for the same profile share one check and
// its outcome; a request for another profile while a check runs gets Busy at
// once. A reason made only of white space (Unicode White_Space) is Denied with
// "a non-empty reason is required" without reaching the backend, whoever asks:
// the rule is the client's reason's, not the prompt's.
//
// Thread-safety: require_presence may be called from any number of threads.
// No two of its locks are ever held together by one thread.
//
//   PresenceChecker checker(make_platform_backend());
//   PresenceOutcome outcome = checker.require_presence("work", {"deploy"});
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "base/mutex.h"
#include "presence/presence_backend.h"

namespace tarnwel {

class PresenceChecker {
 public:
  explicit PresenceChecker(std::unique_ptr<PresenceBackend> backend);
  ~PresenceChecker();

  PresenceChecker(const PresenceChecker&) = delete;
  PresenceChecker& operator=(const PresenceChecker&) = delete;

  // Granted, or why not. Blocks while this profile's check runs. A leader's
  // request makes the prompt; a joiner's reason and requester are not shown.
  PresenceOutcome require_presence(std::string_view profile, const PresenceRequest& request);

  // For monitoring and tests: how many requests have joined a running check
  // since start (joining leaves no other trace), and whether `profile` has a
  // check running.
  std::uint64_t joins();
  bool in_flight(std::string_view profile);

 private:
  struct PendingPresenceCheck;
  class InFlightGuard;

  // The gate, the blank-reason rule and the backend: one check's outcome.
  PresenceOutcome consult_backend(const PresenceRequest& request);

  Mutex in_flight_mu_;
  std::unordered_map<std::string, std::shared_ptr<PendingPresenceCheck>> in_flight_
      TARNWEL_GUARDED_BY(in_flight_mu_);
  // Requests that joined a running check since start; tests wait on it to know
  // that a request is waiting for another's outcome.
  std::uint64_t joins_ TARNWEL_GUARDED_BY(in_flight_mu_) = 0;
  Mutex presence_gate_;
  const std::unique_ptr<PresenceBackend> backend_;
};

}  // namespace tarnwel
