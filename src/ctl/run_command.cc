#include "ctl/run_command.h"

#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base/os_error.h"
#include "base/secure_wipe.h"
#include "base/spawn.h"
#include "base/utf8.h"
#include "base/write_all.h"
#include "client/agent_launcher.h"
#include "client/agent_log.h"
#include "client/busy_retry.h"
#include "client/client.h"
#include "client/exchange.h"
#include "client/reply.h"
#include "confirm/confirmation_watch.h"
#include "ctl/confirm_command.h"
#include "ctl/exit_status.h"
#include "ctl/messages.h"
#include "ctl/output.h"
#include "ctl/secret_input.h"
#include "paths/runtime_dir.h"
#include "protocol/framing.h"

extern char** environ;  // NOLINT: POSIX declares it nowhere

namespace tarnwel {
namespace {

int exit_status_for(const ClientError& error) {
  switch (error.kind) {
    case ClientError::Kind::Agent: return EXIT_AGENT_ERROR;
    case ClientError::Kind::NoAgent: return EXIT_NO_AGENT;
    case ClientError::Kind::Transport: return EXIT_COMMUNICATION;
    case ClientError::Kind::Protocol: return EXIT_COMMUNICATION;
    case ClientError::Kind::Untrusted: return EXIT_UNTRUSTED;
  }
  return EXIT_COMMUNICATION;
}

// The failure in words, on stderr, and its exit status.
class Failure {
 public:
  Failure(const Client& client, const Invocation& inv)
      : client_(client), failed_{*inv.command, inv.profile} {}

  int operator()(const ClientError& error) const {
    report(explain(error, failed_, client_));
    return exit_status_for(error);
  }

 private:
  const Client& client_;
  FailedCommand failed_;
};

int print(std::string_view text) {
  if (write_all(STDOUT_FILENO, text)) return EXIT_SUCCEEDED;
  report("write standard output: " + os_error_text(errno));
  return EXIT_COMMUNICATION;
}

// --json: the reply line exactly as it came, then the exit status its content
// calls for. Only failures that are not the agent's reply are put in words.
int print_reply_line(Result<WipedBytes, ClientError> line) {
  const auto fail = [](const ClientError& error) {
    report(describe(error));
    return exit_status_for(error);
  };
  if (!line.ok()) return fail(line.error());
  WipedBytes text = std::move(line).value();
  text.push_back('\n');
  const int printed = print(as_view(text));
  text.pop_back();
  const Result<Reply, ClientError> reply = decode_reply(std::move(text));
  if (!reply.ok()) return fail(reply.error());
  return printed;
}

// What the plain output shows of a successful reply (nothing, for a command
// that only succeeds or fails).
using PlainOutput = Result<WipedBytes, ClientError> (*)(Reply reply);

Result<WipedBytes, ClientError> nothing(Reply) { return WipedBytes(); }

// Prints the reply: as it came with --json, else decoded, with `plain`, and a
// failure in words.
int show(const Client& client, const Invocation& inv, Result<WipedBytes, ClientError> reply_line,
         PlainOutput plain) {
  if (inv.json) return print_reply_line(std::move(reply_line));
  const Failure fail(client, inv);
  if (!reply_line.ok()) return fail(reply_line.error());
  Result<Reply, ClientError> reply = decode_reply(std::move(reply_line).value());
  if (!reply.ok()) return fail(reply.error());
  const Result<WipedBytes, ClientError> text = plain(std::move(reply).value());
  if (!text.ok()) return fail(text.error());
  return print(as_view(text.value()));
}

// Sends `line` (wiped once sent) and prints the reply.
int answer(const Client& client, const Invocation& inv, RequestLine&& line, PlainOutput plain) {
  return show(client, inv, client.send(std::move(line)), plain);
}

std::string identity_line(const AgentIdentity& id) {
  return "tarnwel-agent " + id.agent_version + " (commit " + id.agent_commit + "), pid " +
         std::to_string(id.agent_pid) + ", protocol " + std::to_string(id.protocol_version) + "\n";
}

WipedBytes wiped(std::string_view text) {
  WipedBytes bytes;
  append(bytes, text);
  return bytes;
}

Result<WipedBytes, ClientError> identity_text(Reply reply) {
  const Result<AgentIdentity, ClientError> id = identity_of(reply.members);
  if (!id.ok()) return id.error();
  return wiped(identity_line(id.value()));
}

Result<WipedBytes, ClientError> status_text(Reply reply) {
  const Result<AgentStatus, ClientError> status = status_of(reply.members);
  if (!status.ok()) return status.error();
  std::string text = identity_line(status.value().identity) + "cached profiles:";
  if (status.value().cached_profiles.empty()) text += " none";
  // Shown as the prompt shows a reason: a name can hold any bytes, which
  // --json gives exactly.
  for (const std::string& profile : status.value().cached_profiles) {
    text += "\n  " + single_line_lossy(profile);
  }
  return wiped(text + "\n");
}

// The secret and a newline, straight from the locked copy into a wiped one.
Result<WipedBytes, ClientError> secret_text(Reply reply) {
  const Result<LockedSecret, ClientError> secret = secret_of(std::move(reply));
  if (!secret.ok()) return secret.error();
  WipedBytes text;
  text.reserve(secret.value().size() + 1);
  append(text, secret.value().bytes());
  text.push_back('\n');
  return text;
}

// "status", and one line more when the running agent's log holds its warning
// that a secret's memory could not be locked: on stdout after the usual
// output, or with --json (whose stdout is the reply line alone) on stderr.
int status(const Client& client, const Invocation& inv) {
  const int shown = answer(client, inv, command_request("status"), status_text);
  const std::optional<AgentLogPlace> place = agent_log_place(process_env);
  const Result<AgentIdentity, ClientError> id = client.ping();
  if (shown != EXIT_SUCCEEDED || !place || !id.ok()) return shown;
  const auto pid = static_cast<pid_t>(id.value().agent_pid);
  if (!logged_memory_lock_failure(*place, pid)) return shown;
  const std::string warning = "warning: the agent (pid " + std::to_string(pid) +
                              ") could not lock a secret's memory, which may then be written "
                              "to swap; see " +
                              display_path(log_path(*place));
  if (inv.json) {
    report(warning);
    return shown;
  }
  return print(warning + "\n");
}

// Starts an agent unless one answered `probe`, a ping just sent.
int start(const Client& client, Result<AgentIdentity, ClientError> probe) {
  // A directory or listener that is not this user's is reported as such; no
  // agent is started into it.
  if (!probe.ok() && probe.error().kind == ClientError::Kind::Untrusted) {
    report(probe.error().message);
    return EXIT_UNTRUSTED;
  }
  const std::optional<std::string> program = find_agent_program();
  if (!program) {
    report("cannot find tarnwel-agent beside tarnwelctl or on PATH");
    return EXIT_START_FAILED;
  }
  const Result<StartedAgent, std::string> started =
      ensure_agent_running(client, *program, std::move(probe));
  if (!started.ok()) {
    report("could not start an agent: " + started.error());
    return EXIT_START_FAILED;
  }
  return EXIT_SUCCEEDED;
}

int unlock(const Client& client, const Invocation& inv) {
  // The agent's own confirmation asks in the confirmation directory: one that
  // another user has taken would fail every unlock, after the secret was
  // typed. Refused as the runtime directory is.
  const std::string confirm_dir = confirm_dir_path_for(process_env);
  if (const Result<Ok, DirRefusal> checked = check_private_dir(confirm_dir);
      !checked.ok() && !checked.error().missing) {
    report(confirm_dir_refused(confirm_dir, checked.error()));
    return EXIT_UNTRUSTED;
  }
  // The secret is read and checked before anything is sent or started.
  std::optional<RequestLine> request;
  {
    const Result<WipedBytes, std::string> secret = read_secret(STDIN_FILENO, *inv.profile);
    if (!secret.ok()) {
      report(secret.error());
      return EXIT_USAGE;
    }
    if (secret.value().empty() && !inv.allow_empty) {
      report("the secret is empty (standard input held nothing but perhaps a newline), so "
             "nothing was sent; give --allow-empty to store an empty secret");
      return EXIT_USAGE;
    }
    request = unlock_request(*inv.profile, *inv.reason, as_view(secret.value()), inv.ttl_seconds);
  }  // the request holds its own copy now; this block's copy is wiped
  // So are the pieces that reading and escaping it left below this frame,
  // where the frames of the wait for the user are about to be laid.
  wipe_stack(MAX_STACK_WIPE);
  // Escaping can make a long secret too long for one message: a usage error,
  // found before an agent is started for it.
  if (request->text.size() > MAX_MESSAGE_BYTES) {
    report(too_large(request->text.size()).message + " (the secret is too long)");
    return EXIT_USAGE;
  }
  if (!inv.no_start) {
    // Only a missing (or mismatching) agent is replaced; any other failure is
    // left for the unlock request itself to report.
    Result<AgentIdentity, ClientError> probe = client.ping();
    if (!probe.ok() && may_be_replaced(probe.error())) {
      if (const int status = start(client, std::move(probe)); status != EXIT_SUCCEEDED) {
        return status;
      }
    }
  }
  // The project's askpass program, when the agent runs it, posts its question
  // for this process: asked here at the terminal, or announced without one.
  const ConfirmationWatch watch("tarnwelctl");
  // Another profile's confirmation is waited out, not taken for a refusal.
  return show(
      client, inv,
      send_waiting_out_busy(
          client, std::move(*request),
          [] { report("another confirmation is up; waiting for it to end (at most 2 minutes)"); }),
      nothing);
}

// "run": the command in place of this process, with the secret in one
// variable of its environment and nowhere else (not in its arguments). Its
// own failures exit with EXIT_RUN_FAILED, which a script can tell from the
// command's statuses.
int run(const Client& client, const Invocation& inv) {
  const Result<LockedSecret, ClientError> secret = client.get_secret(*inv.profile);
  if (!secret.ok()) {
    (void)Failure(client, inv)(secret.error());
    return EXIT_RUN_FAILED;
  }
  if (secret.value().bytes().find('\0') != std::string_view::npos) {
    report("the secret of '" + *inv.profile + "' holds a NUL character, which an environment "
           "variable cannot carry");
    return EXIT_RUN_FAILED;
  }
  WipedBytes entry;
  append(entry, inv.env_name);
  entry.push_back('=');
  append(entry, secret.value().bytes());
  entry.push_back('\0');

  const std::string prefix = inv.env_name + "=";
  std::vector<char*> env;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    if (std::string_view(*e).rfind(prefix, 0) != 0) env.push_back(*e);
  }
  env.push_back(entry.data());
  env.push_back(nullptr);
  const std::vector<char*> argv = c_strings(inv.run_argv);

  // The command gets the signal handling a shell would give it.
  ::signal(SIGPIPE, SIG_DFL);
  char** const own = environ;
  environ = env.data();
  ::execvp(argv[0], argv.data());
  const int err = errno;
  environ = own;
  release(entry);
  ::signal(SIGPIPE, SIG_IGN);
  report("cannot run " + display_path(inv.run_argv.front()) + ": " + os_error_text(err));
  return err == ENOENT ? EXIT_COMMAND_NOT_FOUND : EXIT_CANNOT_RUN;
}

}  // namespace

int run_command(const Invocation& inv) {
  const Client client = Client::for_this_user();
  switch (*inv.command) {
    case Command::Ping: return answer(client, inv, command_request("ping"), identity_text);
    case Command::Status: return status(client, inv);
    case Command::Unlock: return unlock(client, inv);
    case Command::Get: return answer(client, inv, get_secret_request(*inv.profile), secret_text);
    case Command::Lock: return answer(client, inv, lock_request(inv.profile), nothing);
    case Command::Shutdown: return answer(client, inv, command_request("shutdown"), nothing);
    case Command::Start: {
      const int started = start(client, client.ping());
      if (started != EXIT_SUCCEEDED || !inv.json) return started;
      return print_reply_line(client.send(command_request("ping")));
    }
    case Command::Run:
      return run(client, inv);
    case Command::SocketPath:
      return print(client.socket_path() + "\n");
    case Command::Confirm:
      return confirm_command(inv);
  }
  return EXIT_USAGE;
}

}  // namespace tarnwel
