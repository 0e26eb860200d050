#include "presence/builtin_askpass.h"

#include "base/executable_search.h"

namespace tarnwel {

std::optional<std::string> find_builtin_askpass(const std::string& agent_executable) {
  const std::size_t slash = agent_executable.rfind('/');
  if (slash == std::string::npos) return std::nullopt;
  const std::string dir = agent_executable.substr(0, slash + 1);
  for (const std::string& candidate : {dir + "tarnwel-askpass", dir + "../libexec/tarnwel-askpass"}) {
    if (is_executable_file(candidate)) return candidate;
  }
  return std::nullopt;
}

}  // namespace tarnwel
