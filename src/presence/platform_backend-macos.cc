#include "presence/local_authentication_backend.h"

namespace tarnwel {

std::unique_ptr<PresenceBackend> make_platform_backend() {
  return std::make_unique<LocalAuthenticationBackend>();
}

}  // namespace tarnwel
