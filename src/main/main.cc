#include <unistd.h>

#include <cstdlib>
#include <string>
#include <string_view>

#include "base/diagnostics.h"
#include "server/agent.h"
#include "server/identity.h"

int main(int argc, char** argv) {
  // "--version" is the one argument the agent answers; it touches nothing.
  if (argc == 2 && std::string_view(argv[1]) == "--version") {
    const std::string line = "tarnwel-agent " + std::string(tarnwel::AGENT_VERSION) +
                             " (commit " + std::string(tarnwel::AGENT_COMMIT) + ")\n";
    return ::write(STDOUT_FILENO, line.data(), line.size()) == static_cast<ssize_t>(line.size())
               ? 0
               : 1;
  }
  const tarnwel::Result<tarnwel::Ok, tarnwel::StartupFailure> ran = tarnwel::run();
  if (!ran.ok()) tarnwel::diagnose(ran.error().diagnostic);
  // Connection threads may still be running: leave without static destructors
  // that they could still be using.
  std::_Exit(ran.ok() ? 0 : ran.error().status);
}
