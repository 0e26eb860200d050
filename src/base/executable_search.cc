#include "base/executable_search.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace tarnwel {

bool is_executable_file(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::optional<std::string> find_on_path(std::string_view name) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return std::nullopt;
  std::string_view dirs = path;
  while (true) {
    const std::size_t colon = dirs.find(':');
    const std::string_view dir = dirs.substr(0, colon);
    std::string candidate;
    candidate.reserve(dir.size() + 1 + name.size() + 1);
    candidate.append(dir.empty() ? std::string_view(".") : dir).append("/").append(name);
    if (is_executable_file(candidate)) return candidate;
    if (colon == std::string_view::npos) return std::nullopt;
    dirs.remove_prefix(colon + 1);
  }
}

}  // namespace tarnwel
