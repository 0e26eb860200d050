#include <unistd.h>

#include <vector>

#include "base/process_executable.h"

namespace tarnwel {

std::optional<std::string> process_executable(pid_t pid) {
  const std::string link = "/proc/" + std::to_string(pid) + "/exe";
  std::vector<char> buf(256);
  while (true) {
    const ssize_t n = ::readlink(link.c_str(), buf.data(), buf.size());
    if (n < 0) return std::nullopt;
    if (static_cast<std::size_t>(n) < buf.size()) {
      return std::string(buf.data(), static_cast<std::size_t>(n));
    }
    buf.resize(buf.size() * 2);  // readlink cuts the target short silently
  }
}

}  // namespace tarnwel
