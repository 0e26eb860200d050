#include "server/identity.h"

#include <unistd.h>

#include "agent_commit.h"

namespace tarnwel {

const std::string_view AGENT_COMMIT = TARNWEL_AGENT_COMMIT;

std::uint64_t agent_pid() { return static_cast<std::uint64_t>(::getpid()); }

Json identity_reply() {
  Json reply = Json::object();
  reply["agent_commit"] = AGENT_COMMIT;
  reply["agent_pid"] = agent_pid();
  reply["agent_version"] = AGENT_VERSION;
  reply["ok"] = true;
  reply["protocol_version"] = PROTOCOL_VERSION;
  return reply;
}

}  // namespace tarnwel
