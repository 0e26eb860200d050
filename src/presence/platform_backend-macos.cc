#include "presence/local_authentication_backend.h"

namespace tarnwel {

// LocalAuthentication decides how it asks: no option applies here.
std::unique_ptr<PresenceBackend> make_platform_backend(const PlatformBackendOptions&) {
  return std::make_unique<LocalAuthenticationBackend>();
}

}  // namespace tarnwel
