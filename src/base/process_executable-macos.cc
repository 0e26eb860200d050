#include <libproc.h>

#include "base/process_executable.h"

namespace tarnwel {

std::optional<std::string> process_executable(pid_t pid) {
  char path[PROC_PIDPATHINFO_MAXSIZE];
  const int length = ::proc_pidpath(pid, path, sizeof path);
  if (length <= 0) return std::nullopt;
  return std::string(path, static_cast<std::size_t>(length));
}

}  // namespace tarnwel
