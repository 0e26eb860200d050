// Asking one question at a terminal and taking "y" or "n" for it.
//
//   UniqueFd tty = open_terminal();
//   std::optional<bool> yes = ask_at_terminal(tty.get(), question, stop_fd);
#pragma once

#include <optional>

#include "base/unique_fd.h"
#include "confirm/question.h"

namespace tarnwel {

// This process's controlling terminal (/dev/tty) for reading and writing; an
// invalid descriptor when it has none.
UniqueFd open_terminal();

// Discards what was typed ahead, shows the question on `tty` and reads lines until one says "y"/"yes" (true)
// or "n"/"no" (false), in either case. Nothing when the terminal ends or
// fails, or once `stop_fd` (-1: none) is readable, which cuts the question
// short: its answer is no longer wanted.
std::optional<bool> ask_at_terminal(int tty, const Question& question, int stop_fd = -1);

}  // namespace tarnwel
