// FakePresenceBackend: a PresenceBackend that records the prompt text of every
// call (the reason, plus the requester's line when one is named) and answers
// as the test scripts it:
//   answer_at_once(outcome)  every call returns `outcome` at once (the start: granted);
//   throw_at_once()          every call throws FakeBackendFailure;
//   hold_calls()             every call blocks until the test finishes it with
//                            finish(outcome); one finished after throw_at_once()
//                            throws instead.
// wait_for_calls(n) blocks until n calls have started, so a test knows that a
// check is on screen before it races something against it; no sleeps needed.
// Waits are bounded (EVENT_LIMIT) so a broken test fails instead of hanging.
//
//   auto owned = std::make_unique<FakePresenceBackend>();
//   FakePresenceBackend& backend = *owned;   // stays valid while its owner lives
//   backend.hold_calls();
//   std::thread t([&] { checker.require_presence("a", "why"); });
//   ASSERT_TRUE(backend.wait_for_calls(1));
//   backend.finish(PresenceError::denied("no"));
#pragma once

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/mutex.h"
#include "presence/presence_backend.h"
#include "support/event_limit.h"

namespace tarnwel::testing {

struct FakeBackendFailure : std::runtime_error {
  FakeBackendFailure() : std::runtime_error("fake presence backend failed") {}
};

class FakePresenceBackend final : public PresenceBackend {
 public:
  PresenceOutcome evaluate(const PresenceRequest& request) override {
    MutexLock lock(mu_);
    reasons_.push_back(prompt_text(request));
    changed_.notify_all();
    if (mode_ == Mode::Throw) throw FakeBackendFailure();
    if (mode_ == Mode::Answer) return answer_;
    const bool finished =
        changed_.wait_until(lock, std::chrono::steady_clock::now() + hold_limit_,
                            [&]() TARNWEL_REQUIRES(mu_) { return finish_.has_value(); });
    if (!finished) return PresenceError::denied("fake presence backend: never finished");
    PresenceOutcome outcome = std::move(*finish_);
    finish_.reset();
    if (mode_ == Mode::Throw) throw FakeBackendFailure();
    return outcome;
  }

  void answer_at_once(PresenceOutcome outcome) { set_mode(Mode::Answer, std::move(outcome)); }
  void throw_at_once() { set_mode(Mode::Throw); }
  // A held call that is not finished within `limit` ends denied.
  void hold_calls(std::chrono::milliseconds limit = EVENT_LIMIT) {
    set_mode(Mode::Hold);
    MutexLock lock(mu_);
    hold_limit_ = limit;
  }
  // Ends the held call (or the next one) with `outcome`.
  void finish(PresenceOutcome outcome) {
    MutexLock lock(mu_);
    finish_ = std::move(outcome);
    changed_.notify_all();
  }

  // Whether `n` calls have started within EVENT_LIMIT.
  bool wait_for_calls(std::size_t n) {
    MutexLock lock(mu_);
    return changed_.wait_until(lock, std::chrono::steady_clock::now() + EVENT_LIMIT,
                               [&]() TARNWEL_REQUIRES(mu_) { return reasons_.size() >= n; });
  }
  std::size_t calls() const { return reasons().size(); }
  std::vector<std::string> reasons() const {
    MutexLock lock(mu_);
    return reasons_;
  }

 private:
  enum class Mode { Answer, Throw, Hold };

  void set_mode(Mode mode, PresenceOutcome answer = Ok{}) {
    MutexLock lock(mu_);
    mode_ = mode;
    answer_ = std::move(answer);
  }

  mutable Mutex mu_;
  CondVar changed_;
  Mode mode_ TARNWEL_GUARDED_BY(mu_) = Mode::Answer;
  PresenceOutcome answer_ TARNWEL_GUARDED_BY(mu_) = Ok{};
  std::optional<PresenceOutcome> finish_ TARNWEL_GUARDED_BY(mu_);
  std::chrono::milliseconds hold_limit_ TARNWEL_GUARDED_BY(mu_) = EVENT_LIMIT;
  std::vector<std::string> reasons_ TARNWEL_GUARDED_BY(mu_);
};

}  // namespace tarnwel::testing
