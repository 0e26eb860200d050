#include "server/process_hardening.h"

#include <errno.h>
#include <sys/resource.h>
#include <sys/types.h>

#include "base/diagnostics.h"
#include "base/os_error.h"

#if defined(__linux__)
#include <sys/prctl.h>
#elif defined(__APPLE__)
#include <sys/ptrace.h>
#endif

namespace tarnwel {

void harden_process() {
  // A core file would hold every cached secret in the clear.
  const rlimit no_core{0, 0};
  if (::setrlimit(RLIMIT_CORE, &no_core) != 0) {
    diagnose("could not disable core dumps: " + os_error_text(errno));
  }
#if defined(__linux__)
  // Not dumpable: the user's other processes can neither ptrace the agent nor
  // read /proc/PID/mem; only root can.
  if (::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) {
    diagnose("could not deny tracing: " + os_error_text(errno));
  }
#elif defined(__APPLE__)
  if (::ptrace(PT_DENY_ATTACH, 0, nullptr, 0) != 0) {
    diagnose("could not deny tracing: " + os_error_text(errno));
  }
#endif
}

}  // namespace tarnwel
