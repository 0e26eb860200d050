// One confirmation waiting for an answer at a terminal, as the askpass program
// posts it in the confirmation directory: "<nonce>.question" holds these facts
// (never a secret), and the FIFO "<nonce>.answer" takes the one answer.
//
// The file's text is "asker=PID\nrequester=PID\nprogram=PATH\nprofile=NAME\n\n"
// followed by the reason, which may span lines. The program and the profile are
// kept on their line with control characters replaced.
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
  std::string reason;   // the client's reason, as the agent received it
  std::string profile;  // the profile the secret is for
};

inline constexpr std::string_view QUESTION_SUFFIX = ".question";
inline constexpr std::string_view ANSWER_SUFFIX = ".answer";

// The question `nonce`'s file with `suffix` in `dir`: "DIR/NONCESUFFIX".
std::string question_file(const std::string& dir, std::string_view nonce, std::string_view suffix);

// Removes the question `nonce`'s files from `dir`: the question first, so
// that nobody is shown it once its answer cannot be taken.
void remove_question_files(const std::string& dir, std::string_view nonce) noexcept;

std::string question_text(const Question& question);

// Nothing when `text` is not a question's text; `nonce` is taken as given.
std::optional<Question> parse_question(std::string nonce, std::string_view text);

// The reason line by line, then "Profile: NAME" and "Requested by PROGRAM (pid
// N)", always last and from the question's own fields, so that no reason can
// stand in for them; control characters are replaced throughout.
std::string describe_question(const Question& question);

}  // namespace tarnwel
