#include "git_credential/credential.h"

#include <algorithm>

namespace tarnwel {

Result<Credential, std::string> parse_credential(std::string_view text) {
  Credential credential;
  while (!text.empty()) {
    const std::size_t newline = text.find('\n');
    std::string_view line = text.substr(0, newline);
    text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) break;
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
      return "not a key=value line: " + std::string(line.substr(0, 40));
    }
    const std::string_view key = line.substr(0, eq);
    const std::string_view value = line.substr(eq + 1);
    if (key == "protocol") {
      credential.protocol = value;
    } else if (key == "host") {
      credential.host = value;
    } else if (key == "path") {
      credential.path = value;
    } else if (key == "username") {
      credential.username = value;
    } else if (key == "password") {
      credential.password = value;
    }
  }
  return credential;
}

std::optional<std::string> profile_for(const Credential& credential) {
  if (credential.protocol.empty() || credential.host.empty()) return std::nullopt;
  // Appended piece by piece: g++ 12 at -O3 warns falsely (-Wrestrict) about
  // the temporaries of a chain of operator+.
  std::string profile = "git:";
  profile.append(credential.protocol).append("://").append(credential.host);
  if (!credential.path.empty()) profile.append("/").append(credential.path);
  return profile;
}

WipedBytes secret_for(const Credential& credential) {
  const std::string_view parts[] = {"username=", credential.username.value_or(""),
                                    "\npassword=", credential.password.value_or(""), "\n"};
  std::size_t size = 0;
  for (const std::string_view part : parts) size += part.size();
  // Sized once and filled: no growth (and no wiped copies) on the way.
  WipedBytes secret(size);
  auto out = secret.begin();
  for (const std::string_view part : parts) out = std::copy(part.begin(), part.end(), out);
  return secret;
}

}  // namespace tarnwel
