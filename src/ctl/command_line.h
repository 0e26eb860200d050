// tarnwelctl's command line, parsed into one Invocation or a usage error.
//
//   tarnwelctl [--json] COMMAND [ARGUMENTS] [OPTIONS]
//   tarnwelctl run PROFILE [--env NAME] -- COMMAND...
//   tarnwelctl help [COMMAND]                 (as --help)
//
// Options may stand anywhere after the program name; "--" ends them (and,
// for "run", starts the command to run).
//
//   Result<Invocation, UsageError> inv = parse_command_line({"unlock", "deploy", "--reason", "x"});
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace tarnwel {

enum class Command { Ping, Status, Unlock, Get, Lock, Shutdown, Start, Run, SocketPath, Confirm };

// "ping", "status", "unlock", "get", "lock", "shutdown", "start", "run", "socket-path",
// "confirm".
std::string_view command_name(Command command);

// The variable "run" puts the secret in unless --env names another.
inline constexpr std::string_view DEFAULT_SECRET_VARIABLE = "TARNWEL_SECRET";

struct Invocation {
  std::optional<Command> command;  // absent only together with `help` or `version`
  bool help = false;
  bool version = false;
  bool json = false;
  std::optional<std::string> profile;
  std::optional<std::string> reason;
  std::optional<std::uint64_t> ttl_seconds;
  bool no_start = false;
  bool allow_empty = false;
  bool list = false;  // "confirm --list"
  std::string env_name{DEFAULT_SECRET_VARIABLE};
  std::vector<std::string> run_argv;  // "run": the command and its arguments
};

struct UsageError {
  std::string text;
  std::optional<Command> command;  // whose help to point at, when known
  std::optional<Command> invoked = std::nullopt;  // the command the line names, when it names one
};

Result<Invocation, UsageError> parse_command_line(const std::vector<std::string>& args);

}  // namespace tarnwel
