// tarnwelctl's help texts: one overall, one per command.
#pragma once

#include <optional>
#include <string>

#include "ctl/command_line.h"

namespace tarnwel {

// The help for `command`, or the overall help when there is none.
std::string help_text(std::optional<Command> command);

}  // namespace tarnwel
