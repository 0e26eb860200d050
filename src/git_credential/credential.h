// git's credential helper protocol, as git-credential-tarnwel speaks it: the
// "key=value" lines git writes to a helper, the profile a credential is kept
// under, and the secret that holds it.
//
// One profile per protocol, host and (when git sends one) path:
// "git:https://example.com" or "git:https://example.com/team/repo.git". The
// secret is the credential's own lines, "username=...\npassword=...\n", which
// is also what "get" answers git with.
//
//   Result<Credential, std::string> c = parse_credential(as_view(input));
//   std::optional<std::string> profile = profile_for(c.value());
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"
#include "base/wiped_bytes.h"

namespace tarnwel {

// Views into the text it was parsed from, which must outlive it.
struct Credential {
  std::string_view protocol;
  std::string_view host;
  std::string_view path;
  std::optional<std::string_view> username;
  std::optional<std::string_view> password;
};

// Lines up to a blank line or the end of `text`; unknown keys are skipped, a
// line without "=" is an error.
Result<Credential, std::string> parse_credential(std::string_view text);

// The profile for `credential`; nothing without a protocol and a host.
std::optional<std::string> profile_for(const Credential& credential);

// "username=...\npassword=...\n" for a credential that has both.
WipedBytes secret_for(const Credential& credential);

}  // namespace tarnwel
