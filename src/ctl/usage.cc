#include "ctl/usage.h"

#include <initializer_list>
#include <iterator>

namespace tarnwel {
namespace {

// The exit statuses 0 to 6, one entry each, and what "run" makes of them.
constexpr const char* STATUS_LINES[] = {
    "  0  success\n",
    "  1  the agent answered with an error (not_cached, presence_denied, ...)\n",
    "  2  usage error: a wrong command line, or an unusable secret on standard input\n",
    "  3  no agent is running\n",
    "  4  communication failure: connecting, sending or receiving failed or timed\n"
    "     out, the reply broke the protocol, or the output could not be written\n",
    "  5  no agent could be started\n",
    "  6  nothing was sent: the socket's directory is open to other users or not\n"
    "     this user's, or the process at the socket runs as another user\n",
};
constexpr const char* RUN_STATUSES =
    "  \"run\" ends with its command's exit status once the command runs; 126 when\n"
    "  the command cannot be run, 127 when there is no such command, and 125 for\n"
    "  every failure of its own (usage, no agent, no secret, untrusted socket), as\n"
    "  env(1) does, in place of 1 to 6.\n";

// The statuses a command can end with, one bit per status.
constexpr unsigned ALL_STATUSES = 0x7F;
constexpr unsigned statuses(std::initializer_list<int> list) {
  unsigned bits = 0;
  for (const int status : list) bits |= 1u << status;
  return bits;
}

unsigned statuses_of(Command command) {
  switch (command) {
    case Command::Ping:
    case Command::Status:
    case Command::Get:
    case Command::Lock:
    case Command::Shutdown: return statuses({0, 1, 2, 3, 4, 6});
    case Command::Unlock: return ALL_STATUSES;
    case Command::Start: return statuses({0, 1, 2, 4, 5, 6});
    case Command::SocketPath: return statuses({0, 2, 4});
    case Command::Confirm: return statuses({0, 1, 2, 4, 6});
    case Command::Run: return 0;  // its own, in its help
  }
  return ALL_STATUSES;
}

std::string exit_statuses(unsigned bits, bool with_run) {
  std::string text = "\nExit status:\n";
  for (std::size_t status = 0; status < std::size(STATUS_LINES); ++status) {
    if ((bits >> status & 1u) != 0) text += STATUS_LINES[status];
  }
  return with_run ? text + RUN_STATUSES : text;
}

constexpr const char* OVERALL = R"(Usage: tarnwelctl [--json] COMMAND [ARGUMENTS]

Talks to this user's tarnwel-agent, which keeps secrets in memory for a while
after the user has confirmed their presence.

Commands:
  ping                       show the running agent's version and process id
  status                     show the agent and the profiles that hold a secret
  unlock PROFILE --reason TEXT [--ttl DURATION] [--allow-empty] [--no-start]
                             hand the agent a secret, read from standard input
  get PROFILE                print the cached secret of PROFILE
  run PROFILE [--env NAME] -- COMMAND [ARGUMENTS]
                             run COMMAND with PROFILE's secret in $NAME
  lock [PROFILE]             forget PROFILE's secret, or every secret
  shutdown                   stop the agent; it forgets every secret
  start                      start an agent unless one is running
  socket-path                print the path of the agent's socket
  help [COMMAND]             show this help, or COMMAND's
  confirm [--list]           answer at this terminal the confirmations that
                             wait for one; --list only shows them

Options:
  --json          print the agent's reply line exactly as it came
  -h, --help      show this help, or a command's help after its name
  -V, --version   show tarnwelctl's version and source revision

Errors go to standard error, prefixed "tarnwelctl: ", in words and with the
next step to take; with --json the agent's reply is printed as it came.

An agent that tarnwelctl starts inherits tarnwelctl's environment and reads
it once, at start: set TARNWEL_AGENT_ASKPASS (on Linux) before the first
command that starts one. Without it, without SSH_ASKPASS and without a
desktop, the agent asks at a terminal: "unlock" asks at its own, and a
request made without one waits for "tarnwelctl confirm".
)";

constexpr const char* PING = R"(Usage: tarnwelctl ping [--json]

Asks the running agent for its identity and prints its version, source
revision, process id and protocol version. Never starts an agent.
)";

constexpr const char* STATUS = R"(Usage: tarnwelctl status [--json]

Prints the agent's identity and the profiles that hold an unexpired secret,
one per line, then one line more when an agent that a client started has
warned in its log that it could not lock a secret's memory (with --json, on
standard error). Never starts an agent.
)";

constexpr const char* UNLOCK =
    R"(Usage: tarnwelctl unlock PROFILE --reason TEXT [--ttl DURATION] [--allow-empty] [--no-start] [--json]

Hands the agent a secret for PROFILE. The agent asks the person at the
machine to confirm their presence, showing TEXT, and keeps the secret for
DURATION (by default 24 hours). The command waits for that confirmation, for
at most a little over two minutes.

The secret is read from standard input, never from an argument or the
environment. From a terminal, one line is read without echo; from a pipe or
a file, everything up to the end of input. One trailing newline is removed.
An empty secret is refused (exit status 2) unless --allow-empty is given.

When no agent is running, one is started first (as "start" does), unless
--no-start is given; then the command fails with exit status 3.

When the agent confirms at a terminal (no askpass program set and no desktop,
see "tarnwelctl confirm --help"), the question is asked at this command's
terminal, after the secret: answer y or n. Without a terminal, it says so
once on standard error and waits for "tarnwelctl confirm" at another. While
another profile's confirmation is up, it says so once and waits for that one
to end (up to 2 minutes) before its own is asked.

Options:
  --reason TEXT    the reason the confirmation shows (required, not blank)
  --ttl DURATION   how long the agent keeps the secret: seconds (3600), or
                   with units s, m, h, d, w: 90s, 30m, 8h, 2d, 1h30m
  --allow-empty    accept an empty secret
  --no-start       never start an agent
)";

constexpr const char* GET = R"(Usage: tarnwelctl get PROFILE [--json]

Prints PROFILE's cached secret and a newline on standard output, and nothing
else there. Fails with exit status 1 when the agent holds no secret for it.
Never starts an agent.
)";

constexpr const char* RUN = R"(Usage: tarnwelctl run PROFILE [--env NAME] -- COMMAND [ARGUMENTS]

Runs COMMAND (looked up on PATH) in place of tarnwelctl, with PROFILE's cached
secret in the environment variable NAME (TARNWEL_SECRET unless --env says
otherwise) and nowhere else: not in its arguments, which every process can
read. Every process the command starts inherits that variable, and so the
secret, unless the command removes it. tarnwelctl's exit status is then the
command's. Nothing is run when no secret is cached. Never starts an agent.

Exit status: the command's; 125 when tarnwelctl itself fails (usage, no
agent, no secret, untrusted socket); 126 when the command cannot be run; 127
when there is no such command.

  tarnwelctl run deploy --env DEPLOY_TOKEN -- ./deploy.sh production

Options:
  --env NAME   the variable that carries the secret
)";

constexpr const char* SOCKET_PATH = R"text(Usage: tarnwelctl socket-path

Prints the path of the socket an agent started from this environment listens
on, computed as the agent computes it, without creating or checking anything.
For clients of your own:  socat -t 130 - "UNIX-CONNECT:$(tarnwelctl socket-path)"
)text";

constexpr const char* LOCK = R"(Usage: tarnwelctl lock [PROFILE] [--json]

Makes the agent forget PROFILE's secret, or every secret when no PROFILE is
given. Succeeds whether or not anything was cached. Never starts an agent.
)";

constexpr const char* SHUTDOWN = R"(Usage: tarnwelctl shutdown [--json]

Stops the agent; it forgets every secret and removes its socket.
)";

constexpr const char* START = R"(Usage: tarnwelctl start [--json]

Starts a tarnwel-agent unless one is already running: the one installed beside
tarnwelctl, else the first on PATH. The agent runs detached from the terminal
in a session of its own. Waits up to 5 seconds for it to answer; with --json,
prints its "ping" reply. Succeeds also when an agent was already running.
)";

constexpr const char* CONFIRM = R"(Usage: tarnwelctl confirm [--list]

Where no askpass program is set and no desktop is there, the agent asks
through tarnwel-askpass, its own askpass program, which posts each question in
a private directory beside the agent's runtime directory. A "tarnwelctl
unlock" or a git credential helper at a terminal answers its own question
there. A request made without a terminal (a script, cron, an editor) waits
for this command: it shows each waiting question, its reason and the program
that asks, and takes y or n for it at this terminal. With no question
waiting, it waits up to 120 seconds for one. Never starts an agent.

An answer reaches only the question it was given for: one that has been
answered or has timed out cannot be answered again. Any program of this user
could answer as well, as with any askpass program: a "y" shows that someone
answered at one of this user's terminals.

Options:
  --list   show the waiting questions and answer none
)";

}  // namespace

std::string help_text(std::optional<Command> command) {
  if (!command) return std::string(OVERALL) + exit_statuses(ALL_STATUSES, true);
  const char* text = OVERALL;
  switch (*command) {
    case Command::Ping: text = PING; break;
    case Command::Status: text = STATUS; break;
    case Command::Unlock: text = UNLOCK; break;
    case Command::Get: text = GET; break;
    case Command::Lock: text = LOCK; break;
    case Command::Shutdown: text = SHUTDOWN; break;
    case Command::Start: text = START; break;
    case Command::Run: text = RUN; break;
    case Command::SocketPath: text = SOCKET_PATH; break;
    case Command::Confirm: text = CONFIRM; break;
  }
  const unsigned bits = statuses_of(*command);
  return bits == 0 ? std::string(text) : std::string(text) + exit_statuses(bits, false);
}

}  // namespace tarnwel
