#include <string>

#include "base/utf8.h"
#include "presence/presence_backend.h"

namespace tarnwel {

std::string prompt_text(const PresenceRequest& request) {
  std::string text(request.reason);
  if (request.requester == nullptr || !request.requester->shown) return text;
  const Requester& requester = *request.requester;
  text += "\nRequested by ";
  text += requester.executable.empty() ? std::string("an unknown program")
                                       : single_line_lossy(requester.executable);
  if (requester.pid > 0) text += " (pid " + std::to_string(requester.pid) + ")";
  return text;
}

}  // namespace tarnwel
