// Where the project's own askpass program, tarnwel-askpass, is installed
// relative to the agent: beside it (a build tree, or a prefix that keeps both
// in bin), or in the libexec directory of its prefix (bin/../libexec).
//
//   std::optional<std::string> program = find_builtin_askpass("/usr/bin/tarnwel-agent");
#pragma once

#include <optional>
#include <string>

namespace tarnwel {

std::optional<std::string> find_builtin_askpass(const std::string& agent_executable);

}  // namespace tarnwel
