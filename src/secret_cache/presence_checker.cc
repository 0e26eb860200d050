#include "secret_cache/presence_checker.h"

#include <optional>
#include <utility>

#include "base/white_space.h"

namespace tarnwel {
namespace {

// Holds the gate once try_lock has taken it, so a backend that throws still
// lets go of it.
class TARNWEL_SCOPED_CAPABILITY HeldGate {
 public:
  explicit HeldGate(Mutex& gate) TARNWEL_REQUIRES(gate) : gate_(gate) {}
  ~HeldGate() TARNWEL_RELEASE() { gate_.unlock(); }
  HeldGate(const HeldGate&) = delete;
  HeldGate& operator=(const HeldGate&) = delete;

 private:
  Mutex& gate_;
};

}  // namespace

struct PresenceChecker::PendingPresenceCheck {
  Mutex mu;
  CondVar published;
  std::optional<PresenceOutcome> result TARNWEL_GUARDED_BY(mu);
};

// Publishes the leader's outcome to its joiners and frees the profile, on
// every way out of the leader's check. A leader that never stored an outcome
// (its backend threw, or its evaluation ended abnormally) publishes Busy, so
// that no joiner waits forever.
class PresenceChecker::InFlightGuard {
 public:
  InFlightGuard(PresenceChecker& checker, std::string profile,
                std::shared_ptr<PendingPresenceCheck> check) noexcept
      : checker_(checker), profile_(std::move(profile)), check_(std::move(check)) {}
  InFlightGuard(const InFlightGuard&) = delete;
  InFlightGuard& operator=(const InFlightGuard&) = delete;

  ~InFlightGuard() {
    {
      MutexLock lock(check_->mu);
      check_->result = result_ ? std::move(*result_) : PresenceOutcome(PresenceError::busy());
    }
    check_->published.notify_all();
    // A request that came between publishing and this removal has joined and
    // has the outcome already; one that comes after leads a new check.
    auto removed = [&] {
      MutexLock lock(checker_.in_flight_mu_);
      return checker_.in_flight_.extract(profile_);
    }();
  }

  void set_result(PresenceOutcome outcome) { result_ = std::move(outcome); }

 private:
  std::optional<PresenceOutcome> result_;
  PresenceChecker& checker_;
  const std::string profile_;
  const std::shared_ptr<PendingPresenceCheck> check_;
};

PresenceChecker::PresenceChecker(std::unique_ptr<PresenceBackend> backend)
    : backend_(std::move(backend)) {}

PresenceChecker::~PresenceChecker() = default;

PresenceOutcome PresenceChecker::require_presence(std::string_view profile,
                                                  const PresenceRequest& request) {
  std::string name(profile);
  std::shared_ptr<PendingPresenceCheck> check;
  bool leader = false;
  {
    MutexLock lock(in_flight_mu_);
    auto it = in_flight_.find(name);
    if (it == in_flight_.end()) {
      it = in_flight_.emplace(name, std::make_shared<PendingPresenceCheck>()).first;
      leader = true;
    } else {
      ++joins_;
    }
    check = it->second;
  }

  if (!leader) {
    // No time limit here: the leader's backend bounds its own wait, and the
    // leader's guard publishes however that wait ends.
    MutexLock lock(check->mu);
    check->published.wait(lock,
                          [&]() TARNWEL_REQUIRES(check->mu) { return check->result.has_value(); });
    return *check->result;
  }

  InFlightGuard guard(*this, std::move(name), std::move(check));
  PresenceOutcome outcome = consult_backend(request);
  // An evaluation that ended abnormally has no outcome to share: the guard
  // publishes Busy to the joiners, as for a backend that threw.
  if (outcome.ok() || !outcome.error().is_abnormal_end()) guard.set_result(outcome);
  return outcome;
}

PresenceOutcome PresenceChecker::consult_backend(const PresenceRequest& request) {
  // Never wait for the gate: a second prompt queued behind the first would
  // confuse the user about which request it is for.
  if (!presence_gate_.try_lock()) return PresenceError::busy();
  HeldGate gate(presence_gate_);
  if (is_blank(request.reason)) return PresenceError::denied("a non-empty reason is required");
  return backend_->evaluate(request);
}

std::uint64_t PresenceChecker::joins() {
  MutexLock lock(in_flight_mu_);
  return joins_;
}

bool PresenceChecker::in_flight(std::string_view profile) {
  MutexLock lock(in_flight_mu_);
  return in_flight_.contains(std::string(profile));
}

}  // namespace tarnwel
