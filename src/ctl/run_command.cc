#include "ctl/run_command.h"

#include <errno.h>
#include <unistd.h>

#include <string>

#include "base/os_error.h"
#include "client/agent_launcher.h"
#include "client/client.h"
#include "client/reply.h"
#include "ctl/exit_status.h"
#include "ctl/output.h"
#include "ctl/secret_input.h"

namespace tarnwel {
namespace {

int exit_status_for(const ClientError& error) {
  switch (error.kind) {
    case ClientError::Kind::Agent: return EXIT_AGENT_ERROR;
    case ClientError::Kind::NoAgent: return EXIT_NO_AGENT;
    case ClientError::Kind::Transport: return EXIT_COMMUNICATION;
    case ClientError::Kind::Protocol: return EXIT_COMMUNICATION;
  }
  return EXIT_COMMUNICATION;
}

int fail(const ClientError& error) {
  report(describe(error));
  return exit_status_for(error);
}

int print(std::string_view text) {
  if (write_all(STDOUT_FILENO, text)) return EXIT_SUCCEEDED;
  report("write standard output: " + os_error_text(errno));
  return EXIT_COMMUNICATION;
}

// --json: the reply line exactly as it came, then the exit status its content
// calls for.
int print_reply_line(Result<WipedBytes, ClientError> line) {
  if (!line.ok()) return fail(line.error());
  WipedBytes text = std::move(line).value();
  text.push_back('\n');
  const int printed = print(as_view(text));
  text.pop_back();
  const Result<Reply, ClientError> reply = decode_reply(std::move(text));
  if (!reply.ok()) return fail(reply.error());
  return printed;
}

std::string identity_line(const AgentIdentity& id) {
  return "tarnwel-agent " + id.agent_version + " (commit " + id.agent_commit + "), pid " +
         std::to_string(id.agent_pid) + ", protocol " + std::to_string(id.protocol_version) + "\n";
}

int start(const Client& client) {
  const std::optional<std::string> program = find_agent_program();
  if (!program) {
    report("cannot find tarnwel-agent beside tarnwelctl or on PATH");
    return EXIT_START_FAILED;
  }
  const Result<StartedAgent, std::string> started = ensure_agent_running(client, *program);
  if (!started.ok()) {
    report("could not start an agent: " + started.error());
    return EXIT_START_FAILED;
  }
  return EXIT_SUCCEEDED;
}

int unlock(const Client& client, const Invocation& inv) {
  if (!inv.no_start) {
    // Only a missing (or mismatching) agent is replaced; any other failure is
    // left for the unlock request itself to report.
    const Result<AgentIdentity, ClientError> pong = client.ping();
    const bool replaceable = !pong.ok() && (pong.error().kind == ClientError::Kind::NoAgent ||
                                            pong.error().code == ErrorCode::ProtocolMismatch);
    if (replaceable) {
      if (const int status = start(client); status != EXIT_SUCCEEDED) return status;
    }
  }
  std::optional<RequestLine> request;
  {
    const Result<WipedBytes, std::string> secret = read_secret(STDIN_FILENO, *inv.profile);
    if (!secret.ok()) {
      report(secret.error());
      return EXIT_USAGE;
    }
    request = unlock_request(*inv.profile, *inv.reason, as_view(secret.value()), inv.ttl_seconds);
  }  // the request holds its own copy now; this block's copy is wiped
  const RequestLine& line = *request;
  if (inv.json) return print_reply_line(client.send(line));
  const Result<WipedBytes, ClientError> reply = client.send(line);
  if (!reply.ok()) return fail(reply.error());
  const Result<Reply, ClientError> decoded = decode_reply(reply.value());
  if (!decoded.ok()) return fail(decoded.error());
  return EXIT_SUCCEEDED;
}

int get(const Client& client, const Invocation& inv) {
  if (inv.json) {
    Json members = Json::object();
    members["profile"] = *inv.profile;
    return print_reply_line(client.send(command_request("get_secret", members)));
  }
  const Result<LockedSecret, ClientError> secret = client.get_secret(*inv.profile);
  if (!secret.ok()) return fail(secret.error());
  WipedBytes out;
  out.reserve(secret.value().size() + 1);
  append(out, secret.value().bytes());
  out.push_back('\n');
  return print(as_view(out));
}

int status(const Client& client) {
  const Result<AgentStatus, ClientError> status = client.status();
  if (!status.ok()) return fail(status.error());
  std::string text = identity_line(status.value().identity);
  if (status.value().cached_profiles.empty()) {
    text += "cached profiles: none\n";
  } else {
    text += "cached profiles:\n";
    for (const std::string& profile : status.value().cached_profiles) text += "  " + profile + "\n";
  }
  return print(text);
}

int simple(const Result<Ok, ClientError>& result) {
  return result.ok() ? EXIT_SUCCEEDED : fail(result.error());
}

}  // namespace

int run_command(const Invocation& inv) {
  const Client client = Client::for_this_user();
  switch (*inv.command) {
    case Command::Ping: {
      if (inv.json) return print_reply_line(client.send(command_request("ping")));
      const Result<AgentIdentity, ClientError> id = client.ping();
      return id.ok() ? print(identity_line(id.value())) : fail(id.error());
    }
    case Command::Status:
      if (inv.json) return print_reply_line(client.send(command_request("status")));
      return status(client);
    case Command::Unlock:
      return unlock(client, inv);
    case Command::Get:
      return get(client, inv);
    case Command::Lock: {
      Json members = Json::object();
      if (inv.profile) members["profile"] = *inv.profile;
      if (inv.json) return print_reply_line(client.send(command_request("lock", members)));
      return simple(client.lock(inv.profile));
    }
    case Command::Shutdown:
      if (inv.json) return print_reply_line(client.send(command_request("shutdown")));
      return simple(client.shutdown());
    case Command::Start: {
      const int started = start(client);
      if (started != EXIT_SUCCEEDED || !inv.json) return started;
      return print_reply_line(client.send(command_request("ping")));
    }
  }
  return EXIT_USAGE;
}

}  // namespace tarnwel
