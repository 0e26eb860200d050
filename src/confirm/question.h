// One confirmation waiting for an answer at a terminal, as the askpass program
// posts it in the confirmation directory: "<nonce>.question" holds these facts
// (never a secret), and the FIFO "<nonce>.answer" takes the one answer.
//
// The file's text is "asker=PID\nrequester=PID\nprogram=PATH\n\n" followed by
// the prompt text, which may span lines.
//
//   std::string text = question_text(q);
//   std::optional<Question> back = parse_question(nonce, text);
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace tarnwel {

struct Question {
  std::string nonce;
  pid_t asker = 0;      // the askpass process that waits for the answer
  pid_t requester = 0;  // the process whose request the agent confirms; 0 when unknown
  std::string program;  // the requester's executable; empty when unknown
  std::string prompt;   // the reason, as the agent shows it
};

inline constexpr std::string_view QUESTION_SUFFIX = ".question";
inline constexpr std::string_view ANSWER_SUFFIX = ".answer";

std::string question_text(const Question& question);

// Nothing when `text` is not a question's text; `nonce` is taken as given.
std::optional<Question> parse_question(std::string nonce, std::string_view text);

// "<prompt>" and, when known, "\nRequested by <program> (pid N)", unless the
// prompt names its requester already (the agent's own line).
std::string describe_question(const Question& question);

}  // namespace tarnwel
