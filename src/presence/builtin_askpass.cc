#include "presence/builtin_askpass.h"

#include "base/executable_search.h"

namespace tarnwel {

std::optional<std::string> find_builtin_askpass(const std::string& agent_executable) {
  for (const std::string_view candidate : {"tarnwel-askpass", "../libexec/tarnwel-askpass"}) {
    if (std::optional<std::string> found = executable_beside(agent_executable, candidate)) {
      return found;
    }
  }
  return std::nullopt;
}

}  // namespace tarnwel
