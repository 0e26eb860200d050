#include "support/requests.h"

#include "confirm/nonce.h"
#include "protocol/json.h"

namespace tarnwel::testing {
namespace {

// The line for `cmd` with protocol_version 2 and the members of `members`.
std::string request_line(std::string_view cmd, Json members) {
  members["cmd"] = std::string(cmd);
  members["protocol_version"] = 2;
  return members.dump() + "\n";
}

}  // namespace

std::string unlock_line(std::string_view profile, std::string_view secret) {
  return request_line(
      "unlock",
      {{"profile", std::string(profile)}, {"reason", "test"}, {"secret", std::string(secret)}});
}

std::string get_secret_line(std::string_view profile) {
  return request_line("get_secret", {{"profile", std::string(profile)}});
}

std::string lock_line(std::string_view profile) {
  return request_line("lock", {{"profile", std::string(profile)}});
}

// Two nonces: the confirmation's own source of random names.
std::string random_secret() { return random_nonce().value() + random_nonce().value(); }

}  // namespace tarnwel::testing
