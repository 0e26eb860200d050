#include "git_credential/credential.h"

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
    if (eq == std::string_view::npos) return "not a key=value line: " + std::string(line.substr(0, 40));
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
  std::string profile = "git:" + std::string(credential.protocol) + "://" +
                        std::string(credential.host);
  if (!credential.path.empty()) profile += "/" + std::string(credential.path);
  return profile;
}

WipedBytes secret_for(const Credential& credential) {
  WipedBytes secret;
  append(secret, "username=");
  append(secret, credential.username.value_or(""));
  append(secret, "\npassword=");
  append(secret, credential.password.value_or(""));
  append(secret, "\n");
  return secret;
}

}  // namespace tarnwel
