#include <unistd.h>

#include "base/process_executable.h"
#include "presence/askpass_backend.h"
#include "presence/builtin_askpass.h"

namespace tarnwel {

// No local-authentication service here: an askpass program asks, the
// desktop's dialog or, without a desktop, the project's own at a terminal.
std::unique_ptr<PresenceBackend> make_platform_backend(const PlatformBackendOptions& options) {
  return std::make_unique<AskpassBackend>(
      AskpassBackend::DEFAULT_WAIT, AskpassBackend::DEFAULT_KILL_GRACE,
      find_builtin_askpass(process_executable(::getpid()).value_or("")), options.confirm_yes_no);
}

}  // namespace tarnwel
