#include "base/diagnostics.h"

#include <unistd.h>

#include <string>

#include "base/write_all.h"

namespace tarnwel {

void diagnose_as(std::string_view program, std::string_view text) {
  std::string line(program);
  line += ": ";
  line += text;
  line += '\n';
  (void)write_all(STDERR_FILENO, line);  // nowhere left to report a failure
}

}  // namespace tarnwel
