#include "presence/askpass_backend.h"

namespace tarnwel {

// No local-authentication service here: the desktop's askpass dialog asks.
std::unique_ptr<PresenceBackend> make_platform_backend() {
  return std::make_unique<AskpassBackend>();
}

}  // namespace tarnwel
