#include "ctl/output.h"

#include <unistd.h>

#include "base/diagnostics.h"
#include "base/utf8.h"
#include "base/write_all.h"

namespace tarnwel {

// A message may quote a profile or a reason, which may hold anything: its
// control characters must not reach the terminal as such.
void report(std::string_view text) { diagnose_as("tarnwelctl", single_line_lossy(text)); }

void report_raw(std::string_view text) { (void)write_all(STDERR_FILENO, text); }

}  // namespace tarnwel
