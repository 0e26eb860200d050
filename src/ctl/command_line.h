// tarnwelctl's command line, parsed into one Invocation or a usage error.
//
//   tarnwelctl [--json] COMMAND [ARGUMENTS] [OPTIONS]
//
// Options may stand anywhere after the program name; "--" ends them.
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

enum class Command { Ping, Status, Unlock, Get, Lock, Shutdown, Start };

// "ping", "status", "unlock", "get", "lock", "shutdown", "start".
std::string_view command_name(Command command);

struct Invocation {
  std::optional<Command> command;  // absent only together with `help`
  bool help = false;
  bool json = false;
  std::optional<std::string> profile;
  std::optional<std::string> reason;
  std::optional<std::uint64_t> ttl_seconds;
  bool no_start = false;
};

struct UsageError {
  std::string text;
  std::optional<Command> command;  // whose help to point at, when known
};

Result<Invocation, UsageError> parse_command_line(const std::vector<std::string>& args);

}  // namespace tarnwel
