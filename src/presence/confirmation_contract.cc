#include "presence/confirmation_contract.h"

#include "base/utf8.h"

namespace tarnwel {

std::string requester_line(pid_t pid, std::string_view executable) {
  std::string line = "Requested by ";
  line += executable.empty() ? std::string("an unknown program") : single_line_lossy(executable);
  if (pid > 0) line += " (pid " + std::to_string(pid) + ")";
  return line;
}

}  // namespace tarnwel
