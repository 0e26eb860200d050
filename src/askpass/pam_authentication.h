// Checks the person at a terminal through PAM, as the system sets up the
// service "tarnwel-agent" (pam.d/tarnwel-agent: on Debian the login's own
// common-auth and common-account, so a fingerprint reader configured there
// works too): pam_authenticate, then pam_acct_mgmt, for this process's user.
// The prompts and messages of the modules go to `prompter`, which relays them
// to whoever answers.
//
// A reply is copied from the prompter's wiped buffer into the block that PAM
// takes over and frees; every block still ours is wiped before it is freed.
//
// Thread-safety: one check at a time per process (PAM modules keep state).
//
//   int tries = PAM_TRIES;
//   PamOutcome outcome = authenticate_with_pam(prompter, tries);
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/wiped_bytes.h"

namespace tarnwel {

inline constexpr const char* PAM_SERVICE_NAME = "tarnwel-agent";
// Failed authentications one question allows, whoever answers.
inline constexpr int PAM_TRIES = 3;

class PamPrompter {
 public:
  virtual ~PamPrompter() = default;
  // The reply to `text` (`echo` false: a secret, typed unseen); nothing when
  // nobody answers any more.
  virtual std::optional<WipedBytes> ask(std::string_view text, bool echo) = 0;
  virtual void tell(std::string_view text, bool error) = 0;
};

struct PamOutcome {
  enum class Kind {
    Granted,
    Denied,      // `text` says why
    Unanswered,  // the prompter stopped answering: no try was lost
  };
  Kind kind;
  std::string text;
};

// Takes up to `tries_left` tries, and counts down each one that failed.
PamOutcome authenticate_with_pam(PamPrompter& prompter, int& tries_left);

}  // namespace tarnwel
