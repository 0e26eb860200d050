// git's credential helper protocol, as git-credential-tarnwel speaks it: the
// "key=value" lines git writes to a helper, the profile a credential is kept
// under, and the secret that holds it.
//
// One entry per protocol, host (with its port, as git sends it), path (sent
// by git with credential.useHttpPath) and username, as git's own
// credential-cache keeps them: "git:https://ann@example.com:8443" or
// "git:https://ann@example.com/team/repo.git", the username percent-encoded
// so that "@" and "/" in it cannot be read as part of the host or path. The
// secret is the credential's own lines, "username=...\npassword=...\n" and
// "password_expiry_utc=..." and "oauth_refresh_token=..." when git gave them,
// which is also what "get" answers git with.
//
// Earlier releases kept one entry per URL, "git:https://example.com" without
// a username (legacy_profile_for); such entries are still answered and erased.
//
//   Result<Credential, std::string> c = parse_credential(as_view(input));
//   std::optional<std::string> profile = profile_for(c.value());
#pragma once

#include <cstdint>
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
  std::optional<std::string_view> password_expiry_utc;
  std::optional<std::string_view> oauth_refresh_token;
};

// Lines up to a blank line or the end of `text`; unknown keys are skipped, a
// line without "=" is an error.
Result<Credential, std::string> parse_credential(std::string_view text);

// The entry of `credential`'s username at its URL; nothing without a
// protocol, a host and a username.
std::optional<std::string> profile_for(const Credential& credential);

// The one entry an earlier release kept for the URL, whatever the username.
std::optional<std::string> legacy_profile_for(const Credential& credential);

// Whether `profile` is the entry of some username at `credential`'s URL (not
// a legacy one).
bool is_entry_of_url(std::string_view profile, const Credential& credential);

// The time `credential` expires at, in seconds since the epoch; nothing when
// it does not say (or says it unreadably, which git also takes as never).
std::optional<std::int64_t> expiry_of(const Credential& credential);

// The lines of `credential` for the members it has: username, password,
// password_expiry_utc and oauth_refresh_token.
WipedBytes secret_for(const Credential& credential);

}  // namespace tarnwel
