// tarnwelctl: the command-line client of tarnwel-agent.
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "agent_commit.h"
#include "agent_version.h"
#include "base/write_all.h"
#include "client/agent_launcher.h"
#include "ctl/command_line.h"
#include "ctl/exit_status.h"
#include "ctl/output.h"
#include "ctl/run_command.h"
#include "ctl/usage.h"

int main(int argc, char** argv) {
  using namespace tarnwel;
  // A closed stdout or a vanished agent is reported as an error, not a silent death.
  ::signal(SIGPIPE, SIG_IGN);

  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  const Result<Invocation, UsageError> parsed = parse_command_line(args);
  if (!parsed.ok()) {
    const UsageError& error = parsed.error();
    report(error.text);
    const std::string help =
        error.command ? "tarnwelctl " + std::string(command_name(*error.command)) + " --help"
                      : "tarnwelctl --help";
    report("see '" + help + "'");
    return error.invoked == Command::Run ? EXIT_RUN_FAILED : EXIT_USAGE;
  }
  const Invocation& inv = parsed.value();
  if (inv.version) {
    const std::string line =
        std::string("tarnwelctl ") + TARNWEL_VERSION + " (commit " + TARNWEL_AGENT_COMMIT + ")\n";
    return write_all(STDOUT_FILENO, line) ? EXIT_SUCCEEDED : EXIT_COMMUNICATION;
  }
  if (inv.help) {
    return write_all(STDOUT_FILENO, help_text(inv.command)) ? EXIT_SUCCEEDED : EXIT_COMMUNICATION;
  }
  // A client setting it cannot take stops it before it does anything.
  if (const std::optional<std::string> problem = client_setting_problem()) {
    report(*problem);
    return EXIT_AGENT_ERROR;
  }
  return run_command(inv);
}
