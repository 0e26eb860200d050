// What tarnwelctl says when a request fails: the failure in words and the
// next step to take, for a person at a terminal. (--json prints the agent's
// reply instead, unchanged.)
//
//   report(explain(error, {Command::Get, "work"}, client));
//   // no secret is cached for 'work': run tarnwelctl unlock work --reason TEXT
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "client/client.h"
#include "ctl/command_line.h"

namespace tarnwel {

struct FailedCommand {
  Command command;
  std::optional<std::string> profile;
};

// One line for `error`, which `failed` met. `client` is asked for the
// agent's process id where that helps the user find the agent to restart.
std::string explain(const ClientError& error, const FailedCommand& failed, const Client& client);

// `text` as one shell word: as it is when it is plain, else in single quotes.
std::string shell_word(std::string_view text);

}  // namespace tarnwel
