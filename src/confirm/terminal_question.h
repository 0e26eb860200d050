// Answering one question at a terminal: the question shown, then each of its
// asker's prompts in turn (the login password, with echo off, or "y" or "n"),
// until the asker has what it needs.
//
//   UniqueFd tty = open_terminal();
//   TerminalAnswer answer = answer_at_terminal(tty.get(), dir, question, stop_fd);
#pragma once

#include <string>

#include "base/unique_fd.h"
#include "confirm/question.h"

namespace tarnwel {

// This process's controlling terminal (/dev/tty) for reading and writing; an
// invalid descriptor when it has none.
UniqueFd open_terminal();

struct TerminalAnswer {
  enum class End {
    Done,    // the asker ended the talk, whatever it decided
    Cut,     // the terminal ended or failed, or `stop_fd` turned readable
    Failed,  // the question could not be reached: `error` says why
  };
  End end;
  std::string error;
};

// Discards what was typed ahead (a "y" typed before the question showed must
// not approve it), connects to `question` in `dir` and answers it at `tty`.
// `stop_fd` (-1: none) cuts the talk short: its answer is no longer wanted.
TerminalAnswer answer_at_terminal(int tty, const std::string& dir, const Question& question,
                                  int stop_fd = -1);

}  // namespace tarnwel
