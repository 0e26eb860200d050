#include "ctl/output.h"

#include <unistd.h>

#include "base/diagnostics.h"
#include "base/write_all.h"

namespace tarnwel {

void report(std::string_view text) { diagnose_as("tarnwelctl", text); }

void report_raw(std::string_view text) { (void)write_all(STDERR_FILENO, text); }

}  // namespace tarnwel
