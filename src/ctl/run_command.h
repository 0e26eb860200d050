// Carries out one parsed tarnwelctl invocation against this user's agent and
// returns the process's exit status (ctl/exit_status.h).
#pragma once

#include "ctl/command_line.h"

namespace tarnwel {

int run_command(const Invocation& invocation);

}  // namespace tarnwel
