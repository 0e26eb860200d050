#include <unistd.h>

#include <vector>

#include "client/own_executable.h"

namespace tarnwel {

std::optional<std::string> own_executable_path() {
  std::vector<char> buf(256);
  while (true) {
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return std::nullopt;  // no /proc: the caller falls back to PATH
    if (static_cast<std::size_t>(n) < buf.size()) {
      return std::string(buf.data(), static_cast<std::size_t>(n));
    }
    buf.resize(buf.size() * 2);  // readlink cuts the target short silently
  }
}

}  // namespace tarnwel
