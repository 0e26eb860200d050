// Requests for the tests that speak to a real agent, built as JSON so that any secret or profile
// is escaped correctly, and a random secret that no agent could hold by
// chance.
#pragma once

#include <string>
#include <string_view>

#include "confirm/nonce.h"
#include "protocol/json.h"

namespace tarnwel::testing {

// The line for `cmd` with protocol_version 2 and the members of `members`.
inline std::string request_line(std::string_view cmd, Json members) {
  members["cmd"] = std::string(cmd);
  members["protocol_version"] = 2;
  return members.dump() + "\n";
}

// An unlock with the reason "test" and no ttl_seconds.
inline std::string unlock_line(std::string_view profile, std::string_view secret) {
  return request_line(
      "unlock",
      {{"profile", std::string(profile)}, {"reason", "test"}, {"secret", std::string(secret)}});
}
inline std::string get_secret_line(std::string_view profile) {
  return request_line("get_secret", {{"profile", std::string(profile)}});
}
inline std::string lock_line(std::string_view profile) {
  return request_line("lock", {{"profile", std::string(profile)}});
}

// 64 random lowercase hexadecimal digits (256 bits): printable, valid UTF-8,
// and unique enough to be searched for in the agent's memory: two nonces, the
// confirmation's own source of random names.
inline std::string random_secret() { return random_nonce().value() + random_nonce().value(); }

}  // namespace tarnwel::testing
