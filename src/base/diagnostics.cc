#include "base/diagnostics.h"

#include <errno.h>
#include <unistd.h>

#include <string>

namespace tarnwel {

void diagnose(std::string_view text) {
  std::string line = "tarnwel-agent: ";
  line += text;
  line += '\n';
  std::string_view rest = line;
  while (!rest.empty()) {
    const ssize_t n = ::write(STDERR_FILENO, rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // nowhere left to report to
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace tarnwel
