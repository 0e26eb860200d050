#include <limits.h>
#include <mach-o/dyld.h>
#include <stdint.h>
#include <stdlib.h>

#include <vector>

#include "client/own_executable.h"

namespace tarnwel {

std::optional<std::string> own_executable_path() {
  uint32_t size = 0;
  (void)_NSGetExecutablePath(nullptr, &size);  // learns the size it needs
  std::vector<char> buf(size + 1);
  if (_NSGetExecutablePath(buf.data(), &size) != 0) return std::nullopt;
  // The path may hold "." or ".." and symbolic links; resolve them, so that
  // its directory is the one the executable really lives in.
  char resolved[PATH_MAX];
  if (::realpath(buf.data(), resolved) == nullptr) return std::string(buf.data());
  return std::string(resolved);
}

}  // namespace tarnwel
