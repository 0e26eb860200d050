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
#include <sys/sysctl.h>
#include <unistd.h>
#endif

namespace tarnwel {
namespace {

#if defined(__APPLE__)
// Whether a debugger or other tracer is attached to this process now.
bool being_traced() {
  int name[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, ::getpid()};
  kinfo_proc info{};
  size_t size = sizeof info;
  if (::sysctl(name, 4, &info, &size, nullptr, 0) != 0) return false;
  return (info.kp_proc.p_flag & P_TRACED) != 0;
}
#endif

}  // namespace

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
  // Under a tracer PT_DENY_ATTACH does not return: the kernel ends the process
  // at once with status 45 (ENOTSUP) and nothing on standard error. The line
  // that failure calls for is written first, so the end is not silent.
  if (being_traced()) diagnose("could not deny tracing: " + os_error_text(ENOTSUP));
  if (::ptrace(PT_DENY_ATTACH, 0, nullptr, 0) != 0) {
    diagnose("could not deny tracing: " + os_error_text(errno));
  }
#endif
}

void raise_memory_lock_limit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_MEMLOCK, &limit) != 0 || limit.rlim_cur == limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  (void)::setrlimit(RLIMIT_MEMLOCK, &limit);
}

}  // namespace tarnwel
