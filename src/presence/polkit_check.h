// PolkitCheck: system authentication through polkit, the way a desktop
// confirms that the person at it is its user: CheckAuthorization of the
// action org.tarnwel.agent.unlock (shipped as
// share/polkit-1/actions/org.tarnwel.agent.policy, auth_self) for the
// requesting process, with user interaction allowed, so that the session's
// authentication agent shows its own dialog (the login password, or a
// fingerprint where PAM has one). The reason and the profile go in the
// call's details for that dialog.
//
// It only answers when polkit can ask: without a system bus (the address in
// DBUS_SYSTEM_BUS_ADDRESS when set), without polkit, without the action, or
// without an authentication agent for the session (polkit offers a challenge
// it cannot raise), or without a requesting process to name, it gives nothing
// and the agent asks another way.
//
// The check ends at its wait (TimedOut) or when the requester hangs up its
// connection (Denied), and then withdraws the question from polkit, so that
// the dialog goes; the call itself may last a margin longer than the wait,
// so that the bus never ends it first.
//
// Thread-safety: check() may run on any thread, one call at a time, as
// PresenceBackend is called; each call opens its own bus connection.
//
//   std::unique_ptr<PolkitCheck> polkit = make_polkit_check(120s);
//   if (std::optional<PresenceOutcome> outcome = polkit->check(request)) return *outcome;
#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "base/clock.h"
#include "presence/presence_backend.h"

namespace tarnwel {

inline constexpr std::string_view POLKIT_ACTION = "org.tarnwel.agent.unlock";

class PolkitCheck {
 public:
  virtual ~PolkitCheck() = default;
  // Granted or denied (at once, with the dialog's outcome), TimedOut after
  // the wait, denied once the requester has gone; nothing when polkit cannot
  // ask.
  virtual std::optional<PresenceOutcome> check(const PresenceRequest& request) = 0;
};

// Over sd-bus, waiting at most `wait` for the answer; nothing where the
// system has no polkit (macOS).
std::unique_ptr<PolkitCheck> make_polkit_check(MonotonicClock::duration wait);

}  // namespace tarnwel
