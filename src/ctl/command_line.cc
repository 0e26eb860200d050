#include "ctl/command_line.h"

#include <array>
#include <utility>

namespace tarnwel {
namespace {

constexpr std::array<std::pair<Command, std::string_view>, 7> COMMANDS = {{
    {Command::Ping, "ping"},
    {Command::Status, "status"},
    {Command::Unlock, "unlock"},
    {Command::Get, "get"},
    {Command::Lock, "lock"},
    {Command::Shutdown, "shutdown"},
    {Command::Start, "start"},
}};

std::optional<Command> command_named(std::string_view name) {
  for (const auto& [command, command_text] : COMMANDS) {
    if (command_text == name) return command;
  }
  return std::nullopt;
}

// A whole number of seconds, at least 1, that fits 64 bits; digits only, so
// that "+5", " 5" and "5s" are refused rather than half-read.
std::optional<std::uint64_t> parse_ttl(std::string_view text) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  if (value == 0) return std::nullopt;
  return value;
}

class Parser {
 public:
  explicit Parser(const std::vector<std::string>& args) : args_(args) {}

  Result<Invocation, UsageError> parse() {
    std::vector<std::string> positional;
    bool options_ended = false;
    for (i_ = 0; i_ < args_.size(); ++i_) {
      const std::string& arg = args_[i_];
      if (options_ended || arg.size() < 2 || arg[0] != '-') {
        positional.push_back(arg);
        continue;
      }
      if (arg == "--") {
        options_ended = true;
        continue;
      }
      if (std::optional<UsageError> error = option(arg)) return std::move(*error);
    }
    if (!positional.empty()) {
      inv_.command = command_named(positional.front());
      if (!inv_.command) return UsageError{"unknown command '" + positional.front() + "'", {}};
      positional.erase(positional.begin());
    }
    // Help wins over everything else that may be wrong on the line.
    if (inv_.help) return inv_;
    if (!inv_.command) return UsageError{"no command given", {}};
    if (std::optional<UsageError> error = check(positional)) return std::move(*error);
    return inv_;
  }

 private:
  std::optional<UsageError> option(const std::string& arg) {
    const std::size_t eq = arg.find('=');
    const std::string name = arg.substr(0, eq);
    std::optional<std::string> value;
    if (eq != std::string::npos) value = arg.substr(eq + 1);
    const auto take_value = [&]() -> bool {
      if (value) return true;
      if (i_ + 1 >= args_.size()) return false;
      value = args_[++i_];
      return true;
    };

    if (name == "--help" || name == "-h") {
      inv_.help = true;
    } else if (name == "--json") {
      inv_.json = true;
    } else if (name == "--no-start") {
      inv_.no_start = true;
      unlock_only_.push_back(name);
    } else if (name == "--reason") {
      if (!take_value()) return UsageError{"--reason needs a text", Command::Unlock};
      inv_.reason = *value;
      unlock_only_.push_back(name);
      return std::nullopt;
    } else if (name == "--ttl") {
      if (!take_value()) return UsageError{"--ttl needs a number of seconds", Command::Unlock};
      inv_.ttl_seconds = parse_ttl(*value);
      if (!inv_.ttl_seconds) {
        return UsageError{"--ttl must be a whole number of seconds, at least 1", Command::Unlock};
      }
      unlock_only_.push_back(name);
      return std::nullopt;
    } else {
      return UsageError{"unknown option '" + name + "'", std::nullopt};
    }
    if (value) return UsageError{name + " takes no value", std::nullopt};
    return std::nullopt;
  }

  std::optional<UsageError> check(std::vector<std::string>& positional) {
    const Command command = *inv_.command;
    const std::string name(command_name(command));
    if (command != Command::Unlock && !unlock_only_.empty()) {
      return UsageError{unlock_only_.front() + " is an option of unlock only", command};
    }
    const bool takes_profile =
        command == Command::Unlock || command == Command::Get || command == Command::Lock;
    const bool needs_profile = command == Command::Unlock || command == Command::Get;
    if (positional.size() > (takes_profile ? 1u : 0u)) {
      return UsageError{name + ": unexpected argument '" + positional.back() + "'", command};
    }
    if (positional.empty() && needs_profile) {
      return UsageError{name + " needs a PROFILE", command};
    }
    if (!positional.empty()) inv_.profile = std::move(positional.front());
    if (command == Command::Unlock && !inv_.reason) {
      return UsageError{"unlock needs --reason TEXT, which the confirmation shows", command};
    }
    return std::nullopt;
  }

  const std::vector<std::string>& args_;
  std::size_t i_ = 0;
  Invocation inv_;
  std::vector<std::string> unlock_only_;  // unlock's options seen, to refuse them elsewhere
};

}  // namespace

std::string_view command_name(Command command) {
  for (const auto& [candidate, name] : COMMANDS) {
    if (candidate == command) return name;
  }
  return "?";
}

Result<Invocation, UsageError> parse_command_line(const std::vector<std::string>& args) {
  return Parser(args).parse();
}

}  // namespace tarnwel
