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
#include "presence/confirmation_contract.h"
#include "presence/subprocess.h"

extern "C" {
extern char** environ;
}

namespace tarnwel {
namespace {

constexpr std::string_view PROMPT_VARIABLE = "SSH_ASKPASS_PROMPT";

struct Askpass {
  std::string program;
  bool builtin = false;
};

// The program that a setting names, which comes before any other way.
std::optional<Askpass> chosen_askpass() {
  for (const char* variable : {"TARNWEL_AGENT_ASKPASS", "SSH_ASKPASS"}) {
    const char* value = ::getenv(variable);
    if (value != nullptr && *value != '\0') return Askpass{value};
  }
  return std::nullopt;
}

// Where polkit cannot ask: a desktop's dialog, else the project's own program.
std::optional<Askpass> fallback_askpass(const std::optional<std::string>& builtin) {
  if (::getenv("DISPLAY") != nullptr || ::getenv("WAYLAND_DISPLAY") != nullptr) {
    if (std::optional<std::string> found = find_on_path("ssh-askpass")) return Askpass{*found};
  }
  if (builtin) return Askpass{*builtin, true};
  return std::nullopt;
}

std::string entry(std::string_view name, std::string_view value) {
  std::string text(name);
  text += '=';
  text += value;
  return text;
}

// The agent's environment with the prompt variable set and with `ours`
// added, each in place of any inherited one of the same name.
std::vector<std::string> askpass_environment(std::vector<std::string> ours) {
  ours.push_back(entry(PROMPT_VARIABLE, "confirm"));
  const auto replaced = [&](std::string_view text) {
    for (const std::string& own : ours) {
      const std::string_view name = std::string_view(own).substr(0, own.find('=') + 1);
      if (text.starts_with(name)) return true;
    }
    return false;
  };
  std::vector<std::string> entries;
  for (char** item = environ; item != nullptr && *item != nullptr; ++item) {
    if (!replaced(*item)) entries.emplace_back(*item);
  }
  entries.insert(entries.end(), ours.begin(), ours.end());
  return entries;
}

std::vector<std::string> requester_entries(const Requester& requester) {
  return {entry(REQUESTER_PID_VARIABLE, requester.pid > 0 ? std::to_string(requester.pid) : ""),
          entry(REQUESTER_EXE_VARIABLE, requester.executable)};
}

// The project's own program: its name alone as its argument (the process list
// shows arguments to every user), the facts of the contract in its environment.
std::vector<std::string> builtin_entries(const PresenceRequest& request, bool yes_no) {
  static const Requester unknown;
  std::vector<std::string> entries =
      requester_entries(request.requester != nullptr ? *request.requester : unknown);
  entries.push_back(entry(CONFIRM_REASON_VARIABLE, request.reason));
  entries.push_back(entry(CONFIRM_PROFILE_VARIABLE, request.profile));
  entries.push_back(
      entry(CONFIRM_METHOD_VARIABLE, yes_no ? CONFIRM_METHOD_YES_NO : CONFIRM_METHOD_PASSWORD));
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
    case SubprocessRun::End::Abandoned:
      return PresenceError::denied(std::string(REQUESTER_GONE_TEXT));
  }
  return PresenceError::timed_out();  // unreachable: every end is handled above
}

}  // namespace

PresenceOutcome AskpassBackend::evaluate(const PresenceRequest& request) {
  // An argument or a variable ends at its first NUL: the user would confirm a
  // truncated reason.
  if (request.reason.find('\0') != std::string_view::npos ||
      request.profile.find('\0') != std::string_view::npos) {
    return PresenceError::denied("askpass cannot show a reason that contains a NUL character");
  }
  std::optional<Askpass> askpass = chosen_askpass();
  if (!askpass.has_value() && polkit_ != nullptr) {
    if (std::optional<PresenceOutcome> outcome = polkit_->check(request)) return *outcome;
  }
  if (!askpass.has_value()) askpass = fallback_askpass(builtin_);
  if (!askpass.has_value()) return PresenceError::unsupported();
  std::vector<std::string> arguments{askpass->program};
  std::vector<std::string> ours;
  if (askpass->builtin) {
    // Refused before anything is asked: a question that cannot show its
    // reason whole must not be answered.
    if (request.reason.size() > MAX_CONFIRM_REASON_BYTES) {
      return PresenceError::denied(
          "the reason is " + std::to_string(request.reason.size()) + " bytes, more than the " +
          std::to_string(MAX_CONFIRM_REASON_BYTES) + " that a confirmation shows");
    }
    if (request.profile.size() > MAX_CONFIRM_PROFILE_BYTES) {
      return PresenceError::denied("the profile name is more than the " +
                                   std::to_string(MAX_CONFIRM_PROFILE_BYTES) +
                                   " bytes that a confirmation shows");
    }
    ours = builtin_entries(request, yes_no_);
  } else {
    // Another askpass program takes its prompt as its argument: that is the
    // interface every askpass dialog has.
    arguments.push_back(prompt_text(request));
    if (request.requester != nullptr && request.requester->shown) {
      ours = requester_entries(*request.requester);
    }
  }

  // Named in a failure to start, so that the user knows which setting to mend.
  const std::string shown = display_path(askpass->program);
  const Result<SubprocessRun, SubprocessError> run = run_subprocess(
      arguments, askpass_environment(std::move(ours)), MonotonicClock::now() + wait_, kill_grace_,
      request.requester != nullptr ? request.requester->connection : -1);
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
