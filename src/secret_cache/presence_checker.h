// PresenceChecker: the presence-check part of the SecretCache. At most one
// check talks to the platform at a time in the whole agent (presence_gate_, only
// ever try-locked); concurrent requests for the same profile share one check and
// its outcome; a request for another profile while a check runs gets Busy at
// once. A reason made only of white space (Unicode White_Space) is Denied with
// "a non-empty reason is required" without reaching the backend.
//
// Thread-safety: require_presence may be called from any number of threads.
// No two of its locks are ever held together by one thread.
//
//   PresenceChecker checker(make_platform_backend());
//   PresenceOutcome outcome = checker.require_presence("work", "deploy");
#pragma once

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

  // Granted, or why not. Blocks while this profile's check runs.
  PresenceOutcome require_presence(std::string_view profile, std::string_view reason);

 private:
  struct PendingPresenceCheck;
  class InFlightGuard;

  Mutex in_flight_mu_;
  std::unordered_map<std::string, std::shared_ptr<PendingPresenceCheck>> in_flight_
      GUARDED_BY(in_flight_mu_);
  Mutex presence_gate_;
  const std::unique_ptr<PresenceBackend> backend_;
};

}  // namespace tarnwel
