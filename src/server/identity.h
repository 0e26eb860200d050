// The agent's identity, as "ping", "status" and the protocol-mismatch reply
// report it.
#pragma once

#include <cstdint>
#include <string_view>

#include "base/wiped_bytes.h"
#include "protocol/json.h"
#include "protocol/version.h"

namespace tarnwel {

// The release, as the project names it.
extern const std::string_view AGENT_VERSION;
// The source revision the agent was built from, 12 lowercase hex digits.
extern const std::string_view AGENT_COMMIT;

// This process's id, as the wire carries it.
std::uint64_t agent_pid();

// What "ping" answers, and "status" adds its profiles to:
// {"agent_commit", "agent_pid", "agent_version", "ok": true, "protocol_version"}
Json identity_reply();

// The frame of identity_reply(), the same for the process's whole life:
// encoded once, and copied for each "ping".
WipedBytes identity_frame();

// identity_frame() cut before its "ok" member: what comes before (its comma
// included) and the rest, the terminator included. Every member a reply adds
// to the identity sorts between the two, as "status"'s "cached_profiles" does.
struct IdentityHalves {
  std::string_view before_ok;
  std::string_view from_ok;
};
IdentityHalves identity_halves();

}  // namespace tarnwel
