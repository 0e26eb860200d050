#include "ctl/output.h"

#include <errno.h>
#include <unistd.h>

#include <string>

namespace tarnwel {

bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

void report(std::string_view text) {
  std::string line = "tarnwelctl: ";
  line += text;
  line += '\n';
  (void)write_all(STDERR_FILENO, line);  // nowhere left to report a failure
}

void report_raw(std::string_view text) { (void)write_all(STDERR_FILENO, text); }

}  // namespace tarnwel
