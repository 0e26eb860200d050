#include "ctl/messages.h"

namespace tarnwel {
namespace {

// What makes an agent see a new setting: it reads its environment once.
constexpr std::string_view RESTART_HINT =
    "; an agent reads its environment once, at start: stop this one with 'tarnwelctl shutdown' "
    "and run the command again from a shell that has the setting";

std::string the_agent(const Client& client) {
  const Result<AgentIdentity, ClientError> id = client.ping();
  if (!id.ok()) return "the agent";
  return "the agent (pid " + std::to_string(id.value().agent_pid) + ")";
}

std::string unlock_hint(const FailedCommand& failed) {
  const std::string profile = failed.profile ? shell_word(*failed.profile) : "PROFILE";
  return "tarnwelctl unlock " + profile + " --reason TEXT";
}

std::string explain_agent_error(const ClientError& error, const FailedCommand& failed,
                                const Client& client) {
  const std::string profile = failed.profile ? "'" + *failed.profile + "'" : "the profile";
  switch (*error.code) {
    case ErrorCode::NotCached:
      return "no secret is cached for " + profile + ": run " + unlock_hint(failed);
    case ErrorCode::PresenceUnsupported:
#ifdef __APPLE__
      return error.message;
#else
      return the_agent(client) +
             " has no program to ask for confirmation: it runs TARNWEL_AGENT_ASKPASS, else "
             "SSH_ASKPASS, else ssh-askpass from PATH when DISPLAY or WAYLAND_DISPLAY is set, "
             "as its environment had them when it started, else tarnwel-askpass installed "
             "beside it, and found none" +
             std::string(RESTART_HINT);
#endif
    case ErrorCode::PresenceDenied:
      // The agent names the askpass program that would not start.
      if (error.message.find(": could not run askpass") != std::string::npos) {
        return error.message + " (run by " + the_agent(client) + ")" + std::string(RESTART_HINT);
      }
      return error.message + "; nothing was stored";
    case ErrorCode::PresenceBusy:
      return error.message + ": answer or dismiss that confirmation, then run the command again";
    case ErrorCode::PresenceTimedOut:
      return "nobody confirmed within 2 minutes, so nothing was stored: run the command again "
             "and answer the confirmation";
    case ErrorCode::ProtocolMismatch:
      return "the running agent speaks another protocol version and has stopped on this "
             "request: run the command again, and 'tarnwelctl start' starts a matching agent";
    case ErrorCode::CorruptSecret:
      return error.message + ": forget it with 'tarnwelctl lock " +
             (failed.profile ? shell_word(*failed.profile) : "PROFILE") + "' and unlock it again";
    case ErrorCode::InvalidRequest:
    case ErrorCode::UnknownCommand:
    case ErrorCode::ProtocolError:
      return "the agent refused the request: " + error.message +
             " (is tarnwelctl older or newer than the agent? compare 'tarnwelctl --version' with "
             "'tarnwelctl ping')";
  }
  return describe(error);
}

}  // namespace

std::string explain(const ClientError& error, const FailedCommand& failed, const Client& client) {
  // The client's other findings (transport, protocol, ...) carry their own
  // words already.
  if (error.kind == ClientError::Kind::Agent) {
    if (!error.code) return describe(error);  // a code a newer agent knows
    return explain_agent_error(error, failed, client);
  }
  if (error.kind == ClientError::Kind::NoAgent) {
    if (failed.command == Command::Get || failed.command == Command::Run) {
      return error.message + ": an agent holds no secret until one is unlocked; " +
             unlock_hint(failed) + " starts one";
    }
    if (failed.command == Command::Unlock) {
      return error.message + ": drop --no-start to have one started";
    }
    return error.message + ": 'tarnwelctl start' starts one";
  }
  return describe(error);
}

std::string shell_word(std::string_view text) {
  const bool plain =
      !text.empty() && text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                              "0123456789@%+=:,./_-") == std::string_view::npos;
  if (plain) return std::string(text);
  std::string word = "'";
  for (const char c : text) {
    if (c == '\'') {
      word += "'\\''";
    } else {
      word += c;
    }
  }
  return word + "'";
}

}  // namespace tarnwel
