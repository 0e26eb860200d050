// AskpassBackend: asks the user through an askpass program, the confirmation
// dialog that ssh-agent's confirm option also uses, where the system offers no
// local-authentication service.
//
// The program is $TARNWEL_AGENT_ASKPASS, else $SSH_ASKPASS (each if set and not
// empty). Without either, `polkit` (when given) asks for system authentication
// first; where it cannot ask, ssh-askpass found on PATH when a desktop is there
// (DISPLAY or WAYLAND_DISPLAY set, as OpenSSH decides; without one that dialog
// can only fail), else the project's own confirmation program (`builtin`);
// with none of them the outcome is Unsupported.
//
// Another askpass program runs as every askpass does: the prompt text (the
// reason, exactly as given, and the requester's line when one is shown) as its
// one argument, SSH_ASKPASS_PROMPT=confirm added to the agent's environment,
// which asks for a yes/no dialog rather than a passphrase, and a shown
// requester also as TARNWEL_AGENT_REQUESTER_PID and TARNWEL_AGENT_REQUESTER_EXE
// (each empty when unknown), for a dialog that shows it its own way.
// The builtin program gets no argument: it gets the facts of
// confirmation_contract.h in its environment, the requester always, and a
// reason or profile longer than the contract's limit is refused unasked.
//
// Exit status 0 grants. Otherwise the outcome is Denied with the first
// non-empty line it wrote to stderr, or with how it ended; TimedOut if it is
// still running after `wait` (it is then terminated).
//
// Thread-safety: evaluate() may run on any thread but not on two at once, as
// PresenceBackend requires. It reads the environment (getenv, environ) each
// time, so that a change made before the agent starts its threads is seen;
// nothing may change the environment while threads run, since POSIX gives
// getenv no protection against setenv.
//
//   AskpassBackend backend;  // waits up to 120 s
//   PresenceOutcome outcome = backend.evaluate({"unlock the deploy key"});
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/clock.h"
#include "presence/confirmation_contract.h"
#include "presence/polkit_check.h"
#include "presence/presence_backend.h"

namespace tarnwel {

class AskpassBackend final : public PresenceBackend {
 public:
  static constexpr std::chrono::seconds DEFAULT_WAIT = CONFIRM_WAIT;
  // How long a program that was told to terminate may linger before it is killed.
  static constexpr std::chrono::seconds DEFAULT_KILL_GRACE{1};

  explicit AskpassBackend(MonotonicClock::duration wait = DEFAULT_WAIT,
                          MonotonicClock::duration kill_grace = DEFAULT_KILL_GRACE,
                          std::optional<std::string> builtin = std::nullopt, bool yes_no = false,
                          std::unique_ptr<PolkitCheck> polkit = nullptr)
      : wait_(wait),
        kill_grace_(kill_grace),
        builtin_(std::move(builtin)),
        yes_no_(yes_no),
        polkit_(std::move(polkit)) {}

  PresenceOutcome evaluate(const PresenceRequest& request) override;

 private:
  const MonotonicClock::duration wait_;
  const MonotonicClock::duration kill_grace_;
  const std::optional<std::string> builtin_;
  // The builtin program takes a plain yes/no answer instead of a password.
  const bool yes_no_;
  const std::unique_ptr<PolkitCheck> polkit_;
};

}  // namespace tarnwel
