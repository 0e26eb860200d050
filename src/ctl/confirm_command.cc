#include "ctl/confirm_command.h"

#include <unistd.h>

#include <chrono>
#include <optional>
#include <vector>

#include "base/clock.h"
#include "base/os_error.h"
#include "base/write_all.h"
#include "confirm/question_watch.h"
#include "confirm/terminal_question.h"
#include "ctl/exit_status.h"
#include "ctl/output.h"
#include "paths/runtime_dir.h"
#include "presence/confirmation_contract.h"

namespace tarnwel {
namespace {

// As long as the agent waits for an answer: a question posted after this
// would be one the user did not run "confirm" for.
constexpr std::chrono::seconds QUESTION_WAIT = CONFIRM_ANSWERER_WAIT;

// The questions in `look`, or nothing when the directory is not to be trusted
// (reported).
std::optional<std::vector<Question>> questions_in(const std::string& dir, QuestionLook look) {
  if (look.ok()) return std::move(look).value();
  if (look.error().missing) return std::vector<Question>();
  report(confirm_dir_refused(dir, look.error()));
  return std::nullopt;
}

std::string listed(const std::vector<Question>& questions) {
  if (questions.empty()) return "no confirmation is waiting\n";
  std::string text;
  for (const Question& question : questions) {
    std::string shown = describe_question(question);
    for (std::size_t at = shown.find('\n'); at != std::string::npos; at = shown.find('\n', at + 3)) {
      shown.replace(at, 1, "\n  ");
    }
    text += "- " + shown + "\n";
  }
  return text;
}

}  // namespace

int confirm_command(const Invocation& inv) {
  const std::string dir = confirm_dir_path_for(process_env);
  if (inv.list) {
    const std::optional<std::vector<Question>> questions =
        questions_in(dir, look_at_questions(dir));
    if (!questions) return EXIT_UNTRUSTED;
    return write_all(STDOUT_FILENO, listed(*questions)) ? EXIT_SUCCEEDED : EXIT_COMMUNICATION;
  }
  const UniqueFd tty = open_terminal();
  if (!tty.valid()) {
    report("confirm asks at a terminal, and this process has none; run it at a terminal of "
           "yours (tarnwelctl confirm --list shows what waits)");
    return EXIT_USAGE;
  }
  // Waits for a first question, so that "confirm" may be typed before the
  // request that it answers has reached the agent.
  std::optional<std::vector<Question>> questions;
  bool said_waiting = false;
  const auto first_questions = [&](QuestionLook look) {
    questions = questions_in(dir, std::move(look));
    if (!questions || !questions->empty()) return false;
    if (!said_waiting) {
      (void)write_all(tty.get(), "waiting for a confirmation to answer (ctrl-c to stop)...\n");
      said_waiting = true;
    }
    return true;
  };
  watch_questions(dir, -1, MonotonicClock::now() + QUESTION_WAIT, first_questions);
  if (!questions) return EXIT_UNTRUSTED;
  if (questions->empty()) {
    report("no confirmation came within " + std::to_string(QUESTION_WAIT.count()) + " s");
    return EXIT_AGENT_ERROR;
  }
  int status = EXIT_SUCCEEDED;
  for (const Question& question : *questions) {
    const TerminalAnswer answer = answer_at_terminal(tty.get(), dir, question);
    if (answer.end == TerminalAnswer::End::Cut) return EXIT_COMMUNICATION;
    if (answer.end == TerminalAnswer::End::Failed) {
      report(answer.error);
      status = EXIT_AGENT_ERROR;
    }
  }
  return status;
}

}  // namespace tarnwel
