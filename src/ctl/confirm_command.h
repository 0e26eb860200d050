// "tarnwelctl confirm": answers, at this terminal, the confirmations that wait
// for one (those the project's askpass program posts for requests made without
// a terminal); with --list, only shows them.
#pragma once

#include "ctl/command_line.h"

namespace tarnwel {

// Returns the process's exit status (ctl/exit_status.h).
int confirm_command(const Invocation& invocation);

}  // namespace tarnwel
