#include "base/environment.h"

#include <cstdlib>

namespace tarnwel {

std::optional<std::string> process_env(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

}  // namespace tarnwel
