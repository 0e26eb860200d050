#include "confirm/confirmation_watch.h"

#include <pthread.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <set>

#include "base/utf8.h"
#include "base/write_all.h"
#include "confirm/pending_questions.h"
#include "confirm/question_watch.h"
#include "confirm/terminal_question.h"
#include "paths/runtime_dir.h"

namespace tarnwel {
namespace {

std::string first_line(const std::string& text) {
  return single_line_lossy(std::string_view(text).substr(0, text.find('\n')));
}

}  // namespace

ConfirmationWatch::ConfirmationWatch(std::string program, WithoutTerminal without, std::string hint)
    : program_(std::move(program)), without_(without), hint_(std::move(hint)) {
  Result<WakePipe, SysError> stop = WakePipe::open();
  if (!stop.ok()) return;  // no watch: the request still waits for another answer
  stop_.emplace(std::move(stop).value());
  thread_ = std::thread([this, dir = confirm_dir_path_for(process_env)] { run(dir); });
}

ConfirmationWatch::~ConfirmationWatch() {
  if (!thread_.joinable()) return;
  stop_->wake();
  thread_.join();
}

void ConfirmationWatch::run(const std::string& dir) {
  // A job in the background may still write to its terminal and set it up
  // (a stopped process would never answer anything): the kernel lets this
  // thread do so while it blocks SIGTTOU, and sends the job no stop. It only
  // reads the terminal in the foreground.
  sigset_t ttou;
  sigemptyset(&ttou);
  sigaddset(&ttou, SIGTTOU);
  ::pthread_sigmask(SIG_BLOCK, &ttou, nullptr);
  const pid_t self = ::getpid();
  std::set<std::string> seen;
  std::set<std::string> announced;
  watch_questions(dir, stop_->read_fd(), Instant::max(), [&](const QuestionLook& look) {
    if (!look.ok()) return true;  // none yet, or not one to trust
    for (const Question& question : look.value()) {
      if (question.requester != self || seen.contains(question.nonce)) continue;
      const UniqueFd tty = open_terminal();
      if (!tty.valid()) {
        seen.insert(question.nonce);
        without_terminal(dir, question);
        continue;
      }
      if (::tcgetpgrp(tty.get()) != ::getpgrp()) {
        if (!announced.insert(question.nonce).second) continue;
        (void)write_all(STDERR_FILENO, program_ + ": waiting for confirmation of \"" +
                                           first_line(question.reason) +
                                           "\": answer it with 'tarnwelctl confirm' at a "
                                           "terminal of yours, or bring this job to the "
                                           "foreground\n");
        continue;
      }
      seen.insert(question.nonce);
      const TerminalAnswer answer = answer_at_terminal(tty.get(), dir, question, stop_->read_fd());
      if (answer.end == TerminalAnswer::End::Cut) return false;
      if (answer.end == TerminalAnswer::End::Failed)
        (void)write_all(tty.get(), answer.error + "\n");
    }
    return true;
  });
}

void ConfirmationWatch::without_terminal(const std::string& dir, const Question& question) {
  // Appended, not concatenated: g++ 12 at -O3 warns (-Wrestrict) about an
  // overlap that cannot happen in `"\"" + text + "\""`.
  std::string quoted = "\"";
  quoted += first_line(question.reason);
  quoted += '"';
  if (without_ == WithoutTerminal::Wait) {
    (void)write_all(STDERR_FILENO, program_ + ": waiting for confirmation of " + quoted +
                                       ": answer it with 'tarnwelctl confirm' at a terminal of "
                                       "yours\n");
    return;
  }
  // Declared before the answer is sent: the reply it brings may end the
  // caller's wait at once.
  declined_.store(true);
  (void)answer_question(dir, question.nonce, false);
  (void)write_all(STDERR_FILENO, program_ + ": nobody can confirm " + quoted +
                                     " without a terminal, so nothing was stored; " + hint_ + "\n");
}

}  // namespace tarnwel
