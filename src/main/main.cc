#include <unistd.h>

#include <cstdlib>
#include <string>
#include <string_view>

#include "base/diagnostics.h"
#include "base/write_all.h"
#include "server/agent.h"
#include "server/identity.h"

namespace {

constexpr std::string_view USAGE =
    "Usage: tarnwel-agent [--help | --version]\n"
    "\n"
    "Keeps secrets, one text string per named profile, in locked memory for a\n"
    "limited time after the person at the machine confirms, and serves them to\n"
    "this user's programs over a private Unix socket. Clients such as tarnwelctl\n"
    "start it when none runs; it writes nothing when all is well.\n"
    "\n"
    "It takes no arguments (others are ignored). Its settings are environment\n"
    "variables, read once at start: 'man tarnwel-agent' lists them, and\n"
    "configuration.md explains them (in share/doc/tarnwel-agent of the install\n"
    "prefix, or docs/ in the source tree).\n";

bool print(std::string_view text) { return tarnwel::write_all(STDOUT_FILENO, text); }

}  // namespace

int main(int argc, char** argv) {
  // "--version" and "--help" are the arguments the agent answers; they touch
  // nothing. Any other argument is ignored.
  if (argc == 2 && std::string_view(argv[1]) == "--version") {
    return print("tarnwel-agent " + std::string(tarnwel::AGENT_VERSION) + " (commit " +
                 std::string(tarnwel::AGENT_COMMIT) + ")\n")
               ? 0
               : 1;
  }
  if (argc == 2 && std::string_view(argv[1]) == "--help") return print(USAGE) ? 0 : 1;
  const tarnwel::Result<tarnwel::Ok, tarnwel::StartupFailure> ran = tarnwel::run();
  if (!ran.ok()) tarnwel::diagnose(ran.error().diagnostic);
  // Connection threads may still be running: leave without static destructors
  // that they could still be using.
  std::_Exit(ran.ok() ? 0 : ran.error().status);
}
