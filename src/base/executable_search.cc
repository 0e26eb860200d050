#include "base/executable_search.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace tarnwel {

bool is_executable_file(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::optional<std::string> executable_beside(std::string_view file, std::string_view relative) {
  const std::size_t slash = file.rfind('/');
  if (slash == std::string_view::npos) return std::nullopt;
  std::string candidate(file.substr(0, slash + 1));
  candidate.append(relative);
  if (!is_executable_file(candidate)) return std::nullopt;
  return candidate;
}

std::optional<std::string> find_on_path(std::string_view name) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return std::nullopt;
  return find_on_path(name, path);
}

std::optional<std::string> find_on_path(std::string_view name, std::string_view search_path) {
  while (true) {
    const std::size_t colon = search_path.find(':');
    const std::string_view dir = search_path.substr(0, colon);
    if (dir.starts_with('/')) {
      std::string candidate;
      candidate.reserve(dir.size() + 1 + name.size());
      candidate.append(dir).append("/").append(name);
      if (is_executable_file(candidate)) return candidate;
    }
    if (colon == std::string_view::npos) return std::nullopt;
    search_path.remove_prefix(colon + 1);
  }
}

}  // namespace tarnwel
