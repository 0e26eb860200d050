// git-credential-tarnwel: a git credential helper that keeps credentials in
// this user's tarnwel-agent, one profile per host (credential.h).
//
//   git config --global credential.helper 'tarnwel --ttl 8h'
//
// git runs it as "git-credential-tarnwel [--ttl DURATION] get|store|erase"
// with the credential on standard input. "get" prints the cached username and
// password, or nothing; "store" hands them to the agent, which asks the user
// to confirm first (and is started if none runs), unless the agent holds that
// very credential already; "erase" forgets them. A
// missing agent or credential is not an error: git then asks as usual.
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "agent_commit.h"
#include "agent_version.h"
#include "base/constant_time.h"
#include "base/diagnostics.h"
#include "base/wiped_input.h"
#include "base/write_all.h"
#include "client/agent_launcher.h"
#include "client/client.h"
#include "client/duration.h"
#include "client/reply.h"
#include "client/request_line.h"
#include "confirm/confirmation_watch.h"
#include "git_credential/credential.h"

namespace tarnwel {
namespace {

constexpr std::size_t MAX_INPUT_BYTES = 64 * 1024;
constexpr std::string_view USAGE =
    "usage: git-credential-tarnwel [--ttl DURATION] get|store|erase\n"
    "       (as git runs it; set it up with: git config credential.helper tarnwel)\n";
constexpr std::string_view HELP =
    "\n"
    "Keeps git's credentials in this user's tarnwel-agent, one per protocol, host\n"
    "and path. \"store\" hands one to the agent (starting one when none runs),\n"
    "which asks the person at the machine to confirm; \"get\" gives it back to\n"
    "git; \"erase\" forgets it. --ttl DURATION says how long the agent keeps it:\n"
    "seconds (3600) or 90s, 30m, 8h, 2d; 24 hours by default.\n"
    "\n"
    "  git config --global credential.helper 'tarnwel --ttl 8h'\n";

int complain(std::string_view text) {
  diagnose_as("git-credential-tarnwel", text);
  return 1;
}

// Standard input up to its end, read straight into a wiped buffer: it may
// hold a password.
Result<WipedBytes, std::string> read_input() {
  WipedBytes input;
  const Result<Ok, InputFailure> read =
      read_wiped(STDIN_FILENO, input, MAX_INPUT_BYTES, ReadUntil::End);
  if (read.ok()) return input;
  switch (read.error().kind) {
    case InputFailure::Kind::ReadFailed: break;
    case InputFailure::Kind::TooLarge: return std::string("the input is too long");
  }
  return std::string("cannot read standard input");
}

// The username of a stored credential's lines.
std::string_view stored_username(std::string_view secret) {
  const Result<Credential, std::string> stored = parse_credential(secret);
  return stored.ok() ? stored.value().username.value_or("") : std::string_view();
}

int get(const Client& client, const Credential& asked, const std::string& profile) {
  const Result<LockedSecret, ClientError> secret = client.get_secret(profile);
  if (!secret.ok()) {
    const ClientError& why = secret.error();
    const bool nothing = why.kind == ClientError::Kind::NoAgent ||
                         (why.kind == ClientError::Kind::Agent && why.code == ErrorCode::NotCached);
    return nothing ? 0 : complain(describe(why));
  }
  const std::string_view lines = secret.value().bytes();
  // A credential for another account of the same host is not this one.
  if (asked.username && *asked.username != stored_username(lines)) return 0;
  return write_all(STDOUT_FILENO, lines) ? 0 : complain("cannot write standard output");
}

// The "unlock" request that keeps `given`; the credential text made for it
// is wiped on the way out.
RequestLine unlock_line(const Credential& given, const std::string& profile,
                        std::optional<std::uint64_t> ttl) {
  const WipedBytes secret = secret_for(given);
  const std::string reason =
      "git: keep the password of " + std::string(*given.username) + " for " + profile.substr(4);
  return unlock_request(profile, reason, as_view(secret), ttl);
}

// Whether the agent holds `given` for `profile` already: git stores a
// credential back after every use it made of it, which is not worth a
// confirmation. A changed one is.
bool already_held(const Client& client, const Credential& given, const std::string& profile) {
  const Result<LockedSecret, ClientError> cached = client.get_secret(profile);
  if (!cached.ok()) return false;
  const WipedBytes secret = secret_for(given);
  return same_secret(as_view(secret), cached.value().bytes());
}

// `input` is what `given` was parsed from: it is wiped once the request is
// made, so that only the agent holds the password while the user is asked.
int store(const Client& client, WipedBytes& input, const Credential& given,
          const std::string& profile, std::optional<std::uint64_t> ttl) {
  if (!given.username || !given.password) return 0;  // nothing worth keeping
  if (already_held(client, given, profile)) return 0;
  const std::optional<std::string> program = find_agent_program();
  if (!program) return complain("cannot find tarnwel-agent beside this program or on PATH");
  const Result<StartedAgent, std::string> agent = ensure_agent_running(client, *program);
  if (!agent.ok()) return complain("could not start an agent: " + agent.error());
  RequestLine request = unlock_line(given, profile, ttl);
  release(input);  // `given` points into it: not to be used from here on
  // git's own prompts use the terminal; the confirmation asks there too.
  const ConfirmationWatch watch("git-credential-tarnwel");
  Result<WipedBytes, ClientError> sent = client.send(std::move(request));
  if (!sent.ok()) return complain(describe(sent.error()));
  const Result<Reply, ClientError> reply = decode_reply(std::move(sent).value());
  return reply.ok() ? 0 : complain(describe(reply.error()));
}

int erase(const Client& client, const Credential& given, const std::string& profile) {
  if (given.username) {
    const Result<LockedSecret, ClientError> secret = client.get_secret(profile);
    if (!secret.ok() || stored_username(secret.value().bytes()) != *given.username) return 0;
  }
  const Result<Ok, ClientError> locked = client.lock(profile);
  if (!locked.ok() && locked.error().kind != ClientError::Kind::NoAgent) {
    return complain(describe(locked.error()));
  }
  return 0;
}

int helper(const std::vector<std::string>& args) {
  std::optional<std::uint64_t> ttl;
  std::string action;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--version") {
      return write_all(STDOUT_FILENO, "git-credential-tarnwel " TARNWEL_VERSION
                                      " (commit " TARNWEL_AGENT_COMMIT ")\n")
                 ? 0
                 : 1;
    }
    if (args[i] == "--help" || args[i] == "-h") {
      return write_all(STDOUT_FILENO, std::string(USAGE) + std::string(HELP)) ? 0 : 1;
    }
    if (args[i] == "--ttl" && i + 1 < args.size()) {
      ttl = parse_duration(args[++i]);
      if (!ttl) return complain("--ttl takes a duration such as 3600, 90s, 30m, 8h or 2d");
    } else if (action.empty() && !args[i].starts_with("-")) {
      action = args[i];
    } else {
      (void)write_all(STDERR_FILENO, USAGE);
      return 2;
    }
  }
  if (action.empty()) {
    (void)write_all(STDERR_FILENO, USAGE);
    return 2;
  }
  // git may add actions; a helper ignores those it does not know.
  if (action != "get" && action != "store" && action != "erase") return 0;

  Result<WipedBytes, std::string> read = read_input();
  if (!read.ok()) return complain(read.error());
  WipedBytes input = std::move(read).value();
  const Result<Credential, std::string> credential = parse_credential(as_view(input));
  if (!credential.ok()) return complain(credential.error());
  const std::optional<std::string> profile = profile_for(credential.value());
  if (!profile) return 0;  // git always sends both; without them there is nothing to look up

  const Client client = Client::for_this_user();
  if (action == "get") return get(client, credential.value(), *profile);
  if (action == "store") return store(client, input, credential.value(), *profile, ttl);
  return erase(client, credential.value(), *profile);
}

}  // namespace
}  // namespace tarnwel

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);  // a vanished git is a write error, not a silent death
  return tarnwel::helper(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
}
