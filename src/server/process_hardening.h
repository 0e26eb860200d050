// Keeps the agent's memory, and the secrets in it, away from other processes
// of the user: no core dumps, and no debugger or /proc/PID/mem reader that is
// not root.
#pragma once

namespace tarnwel {

// Best effort: each step that fails is reported on standard error once, and
// the agent goes on.
void harden_process();

// Raises the soft limit on locked memory to the hard one, so that as many
// secrets as the system allows are kept out of swap. Silent: a secret whose
// memory still cannot be locked says so when it is stored.
void raise_memory_lock_limit();

}  // namespace tarnwel
