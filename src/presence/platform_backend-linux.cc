#include <unistd.h>

#include "base/process_executable.h"
#include "presence/askpass_backend.h"
#include "presence/builtin_askpass.h"
#include "presence/polkit_check.h"

namespace tarnwel {

// No local-authentication service here: polkit's system authentication where
// a session can show its dialog, else an askpass program, the desktop's dialog
// or, without a desktop, the project's own at a terminal (the login password).
std::unique_ptr<PresenceBackend> make_platform_backend(const PlatformBackendOptions& options) {
  return std::make_unique<AskpassBackend>(
      AskpassBackend::DEFAULT_WAIT, AskpassBackend::DEFAULT_KILL_GRACE,
      find_builtin_askpass(process_executable(::getpid()).value_or("")), options.confirm_yes_no,
      make_polkit_check(AskpassBackend::DEFAULT_WAIT));
}

}  // namespace tarnwel
