#include "presence/askpass_backend.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "base/executable_search.h"
#include "base/os_error.h"
#include "base/utf8.h"
#include "presence/subprocess.h"

extern "C" {
extern char** environ;
}

namespace tarnwel {
namespace {

constexpr std::string_view PROMPT_VARIABLE = "SSH_ASKPASS_PROMPT=";
constexpr std::string_view REQUESTER_PID_VARIABLE = "TARNWEL_AGENT_REQUESTER_PID=";
constexpr std::string_view REQUESTER_EXE_VARIABLE = "TARNWEL_AGENT_REQUESTER_EXE=";

struct Askpass {
  std::string program;
  bool builtin = false;
};

std::optional<Askpass> askpass_program(const std::optional<std::string>& builtin) {
  for (const char* variable : {"TARNWEL_AGENT_ASKPASS", "SSH_ASKPASS"}) {
    const char* value = ::getenv(variable);
    if (value != nullptr && *value != '\0') return Askpass{value};
  }
  if (::getenv("DISPLAY") != nullptr || ::getenv("WAYLAND_DISPLAY") != nullptr) {
    if (std::optional<std::string> found = find_on_path("ssh-askpass")) return Askpass{*found};
  }
  if (builtin) return Askpass{*builtin, true};
  return std::nullopt;
}

// The agent's environment with the prompt variable set, and with the
// requester's variables set when one is given (never inherited ones then).
std::vector<std::string> askpass_environment(const Requester* requester) {
  const auto ours = [&](std::string_view text) {
    if (text.starts_with(PROMPT_VARIABLE)) return true;
    return requester != nullptr &&
           (text.starts_with(REQUESTER_PID_VARIABLE) || text.starts_with(REQUESTER_EXE_VARIABLE));
  };
  std::vector<std::string> entries;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view text = *entry;
    if (!ours(text)) entries.emplace_back(text);
  }
  entries.emplace_back(std::string(PROMPT_VARIABLE) + "confirm");
  if (requester != nullptr) {
    entries.emplace_back(std::string(REQUESTER_PID_VARIABLE) +
                         (requester->pid > 0 ? std::to_string(requester->pid) : ""));
    entries.emplace_back(std::string(REQUESTER_EXE_VARIABLE) + requester->executable);
  }
  return entries;
}

// The first line with more than white space, without its trailing white
// space; empty if there is none.
std::string first_line(std::string_view text) {
  while (!text.empty()) {
    const std::size_t newline = text.find('\n');
    std::string_view line = text.substr(0, newline);
    const std::size_t last = line.find_last_not_of(" \t\r\v\f");
    if (last != std::string_view::npos) {
      // The text ends up in a JSON reply, which must be valid UTF-8.
      return utf8_lossy(line.substr(0, last + 1));
    }
    if (newline == std::string_view::npos) break;
    text.remove_prefix(newline + 1);
  }
  return {};
}

PresenceOutcome outcome_of(const SubprocessRun& run) {
  switch (run.end) {
    case SubprocessRun::End::Exited: {
      if (run.number == 0) return Ok{};
      std::string line = first_line(run.error_output);
      if (!line.empty()) return PresenceError::denied(std::move(line));
      return PresenceError::denied("askpass exited with status " + std::to_string(run.number));
    }
    case SubprocessRun::End::Signalled:
      return PresenceError::denied("askpass was killed by signal " + std::to_string(run.number));
    case SubprocessRun::End::TimedOut:
      return PresenceError::timed_out();
  }
  return PresenceError::timed_out();  // unreachable: every end is handled above
}

}  // namespace

PresenceOutcome AskpassBackend::evaluate(const PresenceRequest& request) {
  // An argument ends at its first NUL: the user would confirm a truncated reason.
  if (request.reason.find('\0') != std::string_view::npos) {
    return PresenceError::denied("askpass cannot show a reason that contains a NUL character");
  }
  std::optional<Askpass> askpass = askpass_program(builtin_);
  if (!askpass.has_value()) return PresenceError::unsupported();
  const Requester* requester = request.requester;
  if (requester != nullptr && !requester->shown && !askpass->builtin) requester = nullptr;

  // Named in a failure to start, so that the user knows which setting to mend.
  const std::string shown = display_path(askpass->program);
  const Result<SubprocessRun, SubprocessError> run = run_subprocess(
      {std::move(askpass->program), prompt_text(request)}, askpass_environment(requester),
      MonotonicClock::now() + wait_, kill_grace_);
  if (run.ok()) return outcome_of(run.value());
  switch (run.error().stage) {
    case SubprocessError::Stage::Start:
      return PresenceError::denied("could not run askpass " + shown + ": " +
                                   run.error().error.text());
    case SubprocessError::Stage::Wait:
      return PresenceError::denied("could not wait for askpass: " + run.error().error.text());
  }
  return PresenceError::denied("could not wait for askpass");  // unreachable, as above
}

}  // namespace tarnwel
