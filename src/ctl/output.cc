#include "ctl/output.h"

#include <errno.h>
#include <unistd.h>

#include <string>

#include "base/write_all.h"

namespace tarnwel {

void report(std::string_view text) {
  std::string line = "tarnwelctl: ";
  line += text;
  line += '\n';
  (void)write_all(STDERR_FILENO, line);  // nowhere left to report a failure
}

void report_raw(std::string_view text) { (void)write_all(STDERR_FILENO, text); }

}  // namespace tarnwel
