// git-credential-tarnwel: a git credential helper that keeps credentials in
// this user's tarnwel-agent, one entry per URL and username (credential.h).
//
//   git config --global credential.helper 'tarnwel --ttl 8h'
//
// git runs it as "git-credential-tarnwel [--ttl DURATION] [--wait] get|store|erase"
// with the credential on standard input. "get" prints the cached username and
// password, or nothing; "store" hands them to the agent, which asks the user
// to confirm first (and is started if none runs), unless the agent holds that
// very credential already; "erase" forgets them. A
// missing agent or credential is not an error: git then asks as usual.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <string>
#include <vector>

#include "agent_commit.h"
#include "agent_version.h"
#include "base/constant_time.h"
#include "base/diagnostics.h"
#include "base/secure_wipe.h"
#include "base/utf8.h"
#include "base/wiped_input.h"
#include "base/write_all.h"
#include "client/agent_launcher.h"
#include "client/busy_retry.h"
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
    "usage: git-credential-tarnwel [--ttl DURATION] [--wait] get|store|erase\n"
    "       (as git runs it; set it up with: git config credential.helper tarnwel)\n";
constexpr std::string_view HELP =
    "\n"
    "Keeps git's credentials in this user's tarnwel-agent, one per protocol, host,\n"
    "path and username. \"store\" hands one to the agent (starting one when none\n"
    "runs), which asks the person at the machine to confirm; \"get\" gives it back\n"
    "to git; \"erase\" forgets it. --ttl DURATION says how long the agent keeps it:\n"
    "seconds (3600) or 90s, 30m, 8h, 2d; 24 hours by default. When the question\n"
    "would be asked at the helper's terminal and there is none, \"store\" says so\n"
    "and keeps nothing; --wait waits for 'tarnwelctl confirm' to answer instead.\n"
    "\n"
    "  git config --global credential.helper 'tarnwel --ttl 8h'\n";

// `text` may quote what git or the agent sent: no control character of it
// reaches the terminal.
int complain(std::string_view text) {
  diagnose_as("git-credential-tarnwel", single_line_lossy(text));
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

// A cached entry that may answer a request.
struct Entry {
  std::string profile;
  LockedSecret secret;  // the credential's lines
};

// The secret of `profile`, or nothing when there is no agent or no such entry.
Result<std::optional<LockedSecret>, ClientError> fetch(const Client& client,
                                                       const std::string& profile) {
  Result<LockedSecret, ClientError> secret = client.get_secret(profile);
  if (secret.ok()) return std::optional<LockedSecret>(std::move(secret).value());
  const ClientError& why = secret.error();
  if (why.kind == ClientError::Kind::NoAgent ||
      (why.kind == ClientError::Kind::Agent && why.code == ErrorCode::NotCached)) {
    return std::optional<LockedSecret>();
  }
  return why;
}

// The username of a stored credential's lines.
std::string_view stored_username(std::string_view secret) {
  const Result<Credential, std::string> stored = parse_credential(secret);
  return stored.ok() ? stored.value().username.value_or("") : std::string_view();
}

// The entries at `asked`'s URL that it may mean: its username's, or without
// one every username's. An entry of the legacy shape counts as the one of
// its username where that has none of its own.
Result<std::vector<Entry>, ClientError> entries_for(const Client& client, const Credential& asked) {
  const Result<AgentStatus, ClientError> status = client.status();
  if (!status.ok()) {
    if (status.error().kind == ClientError::Kind::NoAgent) return std::vector<Entry>();
    return status.error();
  }
  const std::vector<std::string>& cached = status.value().cached_profiles;
  const std::optional<std::string> own = profile_for(asked);
  std::vector<Entry> entries;
  for (const std::string& profile : cached) {
    if (!is_entry_of_url(profile, asked) || (own && profile != *own)) continue;
    Result<std::optional<LockedSecret>, ClientError> secret = fetch(client, profile);
    if (!secret.ok()) return secret.error();
    if (secret.value()) entries.push_back({profile, std::move(*secret.value())});
  }
  const std::string legacy = *legacy_profile_for(asked);
  if (!std::binary_search(cached.begin(), cached.end(), legacy)) return entries;
  Result<std::optional<LockedSecret>, ClientError> secret = fetch(client, legacy);
  if (!secret.ok()) return secret.error();
  if (!secret.value()) return entries;
  Credential as_stored = asked;
  as_stored.username = stored_username(secret.value()->bytes());
  const std::string its_own = *profile_for(as_stored);
  if ((own && its_own != *own) ||
      std::any_of(entries.begin(), entries.end(),
                  [&](const Entry& entry) { return entry.profile == its_own; })) {
    return entries;
  }
  entries.push_back({legacy, std::move(*secret.value())});
  return entries;
}

bool expired(std::string_view secret) {
  const Result<Credential, std::string> stored = parse_credential(secret);
  const std::optional<std::int64_t> expiry = stored.ok() ? expiry_of(stored.value()) : std::nullopt;
  return expiry && *expiry <= std::time(nullptr);
}

// Answers with the one live entry `asked` may mean, and nothing when there
// is none or several could be meant: git then asks which.
int get(const Client& client, const Credential& asked) {
  Result<std::vector<Entry>, ClientError> found = entries_for(client, asked);
  if (!found.ok()) return complain(describe(found.error()));
  std::vector<Entry>& entries = found.value();
  std::erase_if(entries, [](const Entry& entry) { return expired(entry.secret.bytes()); });
  if (entries.size() != 1) return 0;
  return write_all(STDOUT_FILENO, entries.front().secret.bytes())
             ? 0
             : complain("cannot write standard output");
}

// The "unlock" request that keeps `given`; the credential text made for it
// is wiped on the way out. Out of line, as already_held() is: what their
// loops over the password leave in their frames is wiped before store()
// waits, and store()'s own frame stays live throughout.
[[gnu::noinline]] RequestLine unlock_line(const Credential& given, const std::string& profile,
                                          std::optional<std::uint64_t> ttl) {
  const WipedBytes secret = secret_for(given);
  const std::string reason = "git: keep the password of " + std::string(*given.username) + " for " +
                             legacy_profile_for(given)->substr(4);
  return unlock_request(profile, reason, as_view(secret), ttl);
}

// Whether the agent holds `given` already, in its entry or a legacy one: git
// stores a credential back after every use it made of it, which is not worth
// a confirmation. A changed one is.
[[gnu::noinline]] bool already_held(const Client& client, const Credential& given) {
  const WipedBytes secret = secret_for(given);
  for (const std::optional<std::string>& profile :
       {profile_for(given), legacy_profile_for(given)}) {
    const Result<LockedSecret, ClientError> cached = client.get_secret(*profile);
    if (cached.ok() && same_secret(as_view(secret), cached.value().bytes())) return true;
  }
  return false;
}

// The time-to-live to ask for: `ttl` (else the agent's default of 24 hours),
// shortened to what is left until `given` expires.
std::optional<std::uint64_t> ttl_for(const Credential& given, std::optional<std::uint64_t> ttl) {
  constexpr std::uint64_t AGENT_DEFAULT_TTL = 86'400;
  const std::optional<std::int64_t> expiry = expiry_of(given);
  if (!expiry) return ttl;
  const auto left = static_cast<std::uint64_t>(*expiry - std::time(nullptr));
  return left < ttl.value_or(AGENT_DEFAULT_TTL) ? left : ttl;
}

// Once `username`'s entry is stored, a legacy entry of the same username at
// its URL is only a stale copy.
void drop_legacy_copy(const Client& client, const std::string& legacy,
                      const std::string& username) {
  const Result<LockedSecret, ClientError> cached = client.get_secret(legacy);
  if (cached.ok() && stored_username(cached.value().bytes()) == username) {
    (void)client.lock(legacy);
  }
}

// What a store without a terminal does when nobody can answer there.
constexpr std::string_view DECLINE_HINT =
    "run git at a terminal, or give the helper --wait (credential.helper 'tarnwel --wait') "
    "and answer with 'tarnwelctl confirm'";

// `input` is what `given` was parsed from: it is wiped once the request is
// made, and the request itself once the agent has taken it (a busy agent is
// asked again), so that only the agent holds the password while the user is
// asked. Without `wait`, a confirmation that nobody can answer here is
// declined at once rather than waited for.
int store(const Client& client, WipedBytes& input, const Credential& given,
          std::optional<std::uint64_t> ttl, bool wait) {
  if (!given.username || !given.password) return 0;  // nothing worth keeping
  const std::optional<std::int64_t> expiry = expiry_of(given);
  if (expiry && *expiry <= std::time(nullptr)) return 0;  // spent already
  if (already_held(client, given)) return 0;
  const std::optional<std::string> program = find_agent_program();
  if (!program) return complain("cannot find tarnwel-agent beside this program or on PATH");
  const Result<StartedAgent, std::string> agent =
      ensure_agent_running(client, *program, client.ping());
  if (!agent.ok()) return complain("could not start an agent: " + agent.error());
  const std::string profile = *profile_for(given);
  const std::string legacy = *legacy_profile_for(given);
  const std::string username(*given.username);
  RequestLine request = unlock_line(given, profile, ttl_for(given, ttl));
  release(input);              // `given` points into it: not to be used from here on
  wipe_stack(MAX_STACK_WIPE);  // what already_held() and unlock_line() left below this frame
  // git's own prompts use the terminal; the confirmation asks there too.
  const ConfirmationWatch watch("git-credential-tarnwel",
                                wait ? WithoutTerminal::Wait : WithoutTerminal::Decline,
                                std::string(DECLINE_HINT));
  Result<WipedBytes, ClientError> sent = send_waiting_out_busy(client, std::move(request), [] {
    diagnose_as("git-credential-tarnwel",
                "another confirmation is up; waiting for it to end (at most 2 minutes)");
  });
  if (watch.declined()) return 1;  // said so already
  if (!sent.ok()) return complain(describe(sent.error()));
  const Result<Reply, ClientError> reply = decode_reply(std::move(sent).value());
  if (!reply.ok()) return complain(describe(reply.error()));
  drop_legacy_copy(client, legacy, username);
  return 0;
}

// Forgets the entries `given` may mean, as git's own helpers do: only one
// whose password is the one given, when git gives one (a rejected stale
// password must not take a newer one with it).
int erase(const Client& client, const Credential& given) {
  const Result<std::vector<Entry>, ClientError> found = entries_for(client, given);
  if (!found.ok()) return complain(describe(found.error()));
  for (const Entry& entry : found.value()) {
    if (given.password) {
      const Result<Credential, std::string> stored = parse_credential(entry.secret.bytes());
      if (!stored.ok() || !same_secret(stored.value().password.value_or(""), *given.password)) {
        continue;
      }
    }
    const Result<Ok, ClientError> locked = client.lock(entry.profile);
    if (!locked.ok() && locked.error().kind != ClientError::Kind::NoAgent) {
      return complain(describe(locked.error()));
    }
  }
  return 0;
}

int helper(const std::vector<std::string>& args) {
  std::optional<std::uint64_t> ttl;
  bool wait = false;
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
    if (args[i] == "--wait") {
      wait = true;
    } else if (args[i] == "--ttl" && i + 1 < args.size()) {
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
  if (const std::optional<std::string> problem = client_setting_problem())
    return complain(*problem);

  Result<WipedBytes, std::string> read = read_input();
  if (!read.ok()) return complain(read.error());
  WipedBytes input = std::move(read).value();
  const Result<Credential, std::string> credential = parse_credential(as_view(input));
  if (!credential.ok()) return complain(credential.error());
  // git always sends both; without them there is nothing to look up.
  if (!legacy_profile_for(credential.value())) return 0;
  // Reading and parsing the input left pieces of the password below this
  // frame, where the action's own frames are about to be laid; "store" waits
  // there for as long as the user is asked.
  wipe_stack(MAX_STACK_WIPE);

  const Client client = Client::for_this_user();
  if (action == "get") return get(client, credential.value());
  if (action == "store") return store(client, input, credential.value(), ttl, wait);
  return erase(client, credential.value());
}

}  // namespace
}  // namespace tarnwel

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);  // a vanished git is a write error, not a silent death
  return tarnwel::helper(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
}
