#include <string>

#include "presence/confirmation_contract.h"
#include "presence/presence_backend.h"

namespace tarnwel {

std::string prompt_text(const PresenceRequest& request) {
  std::string text(request.reason);
  if (request.requester == nullptr || !request.requester->shown) return text;
  return text + "\n" + requester_line(request.requester->pid, request.requester->executable);
}

}  // namespace tarnwel
