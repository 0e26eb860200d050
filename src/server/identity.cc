#include "server/identity.h"

#include <unistd.h>

#include "agent_commit.h"
#include "agent_version.h"
#include "protocol/framing.h"

namespace tarnwel {

const std::string_view AGENT_VERSION = TARNWEL_VERSION;
const std::string_view AGENT_COMMIT = TARNWEL_AGENT_COMMIT;

std::uint64_t agent_pid() {
  // The agent never forks (helpers are spawned and exec at once): asked once,
  // not in every reply.
  static const auto pid = static_cast<std::uint64_t>(::getpid());
  return pid;
}

Json identity_reply() {
  Json reply = Json::object();
  reply["agent_commit"] = AGENT_COMMIT;
  reply["agent_pid"] = agent_pid();
  reply["agent_version"] = AGENT_VERSION;
  reply["ok"] = true;
  reply["protocol_version"] = PROTOCOL_VERSION;
  return reply;
}

namespace {

const WipedBytes& encoded_identity() {
  static const WipedBytes frame = encode_message(identity_reply()).value();
  return frame;
}

}  // namespace

WipedBytes identity_frame() { return encoded_identity(); }

IdentityHalves identity_halves() {
  static const IdentityHalves halves = [] {
    const std::string_view frame = as_view(encoded_identity());
    // The versions and the commit are quoted and escaped, so the only
    // `,"ok":` is the member's own.
    const std::size_t ok = frame.find(",\"ok\":") + 1;
    return IdentityHalves{frame.substr(0, ok), frame.substr(ok)};
  }();
  return halves;
}

}  // namespace tarnwel
