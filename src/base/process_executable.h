// The path of the executable that process `pid` runs, where the platform tells
// it (Linux: /proc/PID/exe; macOS: proc_pidpath); nothing when it will not (the
// process has gone, or belongs to someone the agent may not look at). Each
// platform file defines it.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace tarnwel {

std::optional<std::string> process_executable(pid_t pid);

}  // namespace tarnwel
