#include "server/identity.h"

#include <unistd.h>

#include "agent_commit.h"

namespace tarnwel {

const std::string_view AGENT_COMMIT = TARNWEL_AGENT_COMMIT;

std::uint64_t agent_pid() { return static_cast<std::uint64_t>(::getpid()); }

}  // namespace tarnwel
