#include "ctl/command_line.h"

#include <array>
#include <utility>

#include "base/white_space.h"
#include "client/duration.h"

namespace tarnwel {
namespace {

constexpr std::array<std::pair<Command, std::string_view>, 10> COMMANDS = {{
    {Command::Ping, "ping"},
    {Command::Status, "status"},
    {Command::Unlock, "unlock"},
    {Command::Get, "get"},
    {Command::Lock, "lock"},
    {Command::Shutdown, "shutdown"},
    {Command::Start, "start"},
    {Command::Run, "run"},
    {Command::SocketPath, "socket-path"},
    {Command::Confirm, "confirm"},
}};

std::optional<Command> command_named(std::string_view name) {
  for (const auto& [command, command_text] : COMMANDS) {
    if (command_text == name) return command;
  }
  return std::nullopt;
}

// An environment variable's name as the shell writes one.
bool is_variable_name(std::string_view name) {
  if (name.empty() || (name[0] >= '0' && name[0] <= '9')) return false;
  for (const char c : name) {
    const bool word = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                      (c >= '0' && c <= '9') || c == '_';
    if (!word) return false;
  }
  return true;
}

class Parser {
 public:
  explicit Parser(const std::vector<std::string>& args) : args_(args) {}

  // Every error says which command the line names, where it names one:
  // "run" reports its own failures with a status of its own.
  Result<Invocation, UsageError> parse() {
    Result<Invocation, UsageError> parsed = parse_line();
    if (parsed.ok()) return parsed;
    UsageError error = std::move(parsed).error();
    error.invoked = named_;
    return error;
  }

 private:
  Result<Invocation, UsageError> parse_line() {
    std::optional<UsageError> bad_option;  // the first; the rest of the line is still read
    std::vector<std::string> positional;
    std::vector<std::string> after_dashes;  // what follows "--"
    bool options_ended = false;
    for (i_ = 0; i_ < args_.size(); ++i_) {
      const std::string& arg = args_[i_];
      if (options_ended) {
        after_dashes.push_back(arg);
      } else if (arg == "--") {
        options_ended = true;
      } else if (arg.size() < 2 || arg[0] != '-') {
        positional.push_back(arg);
      } else if (std::optional<UsageError> error = option(arg); error && !bad_option) {
        bad_option = std::move(error);
      }
    }
    if (positional.empty() && !after_dashes.empty()) {
      positional.push_back(after_dashes.front());
      after_dashes.erase(after_dashes.begin());
    }
    // "help [COMMAND]" is "--help" said as a command.
    if (!positional.empty() && positional.front() == "help") {
      positional.erase(positional.begin());
      inv_.help = true;
      if (positional.size() > 1) {
        return UsageError{"help: unexpected argument '" + positional.back() + "'", {}};
      }
      // The overall help is also help's own.
      if (!positional.empty() && positional.front() == "help") positional.clear();
    }
    if (!positional.empty()) named_ = command_named(positional.front());
    if (bad_option) return std::move(*bad_option);
    if (!positional.empty()) {
      inv_.command = named_;
      if (!inv_.command) return UsageError{"unknown command '" + positional.front() + "'", {}};
      positional.erase(positional.begin());
    }
    // Help and the version win over everything else that may be wrong on the line.
    if (inv_.help || inv_.version) return inv_;
    if (!inv_.command) return UsageError{"no command given", {}};
    if (*inv_.command == Command::Run) {
      inv_.run_argv = std::move(after_dashes);
    } else {
      positional.insert(positional.end(), after_dashes.begin(), after_dashes.end());
    }
    if (std::optional<UsageError> error = check(positional)) return std::move(*error);
    return inv_;
  }

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
    } else if (name == "--version" || name == "-V") {
      inv_.version = true;
    } else if (name == "--json") {
      inv_.json = true;
    } else if (name == "--no-start") {
      inv_.no_start = true;
      owned_.emplace_back(name, Command::Unlock);
    } else if (name == "--list") {
      inv_.list = true;
      owned_.emplace_back(name, Command::Confirm);
    } else if (name == "--allow-empty") {
      inv_.allow_empty = true;
      owned_.emplace_back(name, Command::Unlock);
    } else if (name == "--reason") {
      if (!take_value()) return UsageError{"--reason needs a text", Command::Unlock};
      inv_.reason = *value;
      owned_.emplace_back(name, Command::Unlock);
      return std::nullopt;
    } else if (name == "--ttl") {
      if (!take_value()) return UsageError{"--ttl needs a duration", Command::Unlock};
      inv_.ttl_seconds = parse_duration(*value);
      if (!inv_.ttl_seconds) {
        return UsageError{"--ttl takes seconds (3600) or a duration such as 90s, 30m, 8h or 2d, "
                          "at least 1 second; not '" + *value + "'",
                          Command::Unlock};
      }
      owned_.emplace_back(name, Command::Unlock);
      return std::nullopt;
    } else if (name == "--env") {
      if (!take_value()) return UsageError{"--env needs a variable name", Command::Run};
      if (!is_variable_name(*value)) {
        return UsageError{"--env needs a variable name of letters, digits and '_', not '" +
                              *value + "'",
                          Command::Run};
      }
      inv_.env_name = *value;
      owned_.emplace_back(name, Command::Run);
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
    for (const auto& [option, owner] : owned_) {
      if (owner != command) {
        return UsageError{option + " is an option of " + std::string(command_name(owner)) +
                              " only",
                          command};
      }
    }
    const bool takes_profile = command == Command::Unlock || command == Command::Get ||
                               command == Command::Lock || command == Command::Run;
    const bool needs_profile = takes_profile && command != Command::Lock;
    if (positional.size() > (takes_profile ? 1u : 0u)) {
      if (command == Command::Run) {
        return UsageError{"run: the command to run goes after '--', as in: tarnwelctl run " +
                              positional.front() + " -- " + positional.back(),
                          command};
      }
      return UsageError{name + ": unexpected argument '" + positional.back() + "'", command};
    }
    if (positional.empty() && needs_profile) {
      return UsageError{name + " needs a PROFILE", command};
    }
    if (!positional.empty()) {
      if (is_blank(positional.front())) {
        return UsageError{name + ": the profile name is empty or blank", command};
      }
      inv_.profile = std::move(positional.front());
    }
    if (command == Command::Unlock) {
      if (!inv_.reason) {
        return UsageError{"unlock needs --reason TEXT, which the confirmation shows", command};
      }
      if (is_blank(*inv_.reason)) {
        return UsageError{"unlock: the --reason text is empty or blank; say what the secret is "
                          "for, the confirmation shows it",
                          command};
      }
    }
    if (command == Command::Run && inv_.run_argv.empty()) {
      return UsageError{"run needs a command after '--'", command};
    }
    return std::nullopt;
  }

  const std::vector<std::string>& args_;
  std::size_t i_ = 0;
  Invocation inv_;
  std::optional<Command> named_;
  // The command-specific options seen, with the command they belong to.
  std::vector<std::pair<std::string, Command>> owned_;
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
