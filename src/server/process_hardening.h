// Keeps the agent's memory, and the secrets in it, away from other processes
// of the user: no core dumps, and no debugger or /proc/PID/mem reader that is
// not root.
#pragma once

namespace tarnwel {

// Best effort: each step that fails is reported on standard error once, and
// the agent goes on.
void harden_process();

}  // namespace tarnwel
