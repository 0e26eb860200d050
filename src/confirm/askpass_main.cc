// tarnwel-askpass: the agent's own confirmation program. It asks at a
// terminal: it posts the question in the confirmation directory, where the
// client that made the request (at its terminal) or "tarnwelctl confirm" (at
// any terminal of the user's) finds it and answers it, and exits 0 for "y".
//
// The agent runs it as confirmation_contract.h says: no argument, the reason,
// the profile and the requester in its environment, SSH_ASKPASS_PROMPT=confirm.
// A SIGTERM (the agent's time-out), SIGINT or SIGHUP ends the wait, and so
// does the end of the requesting process, whose request nobody waits for
// then; the question's files go with it.
#include <errno.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "base/clock.h"
#include "base/os_error.h"
#include "base/unique_fd.h"
#include "base/write_all.h"
#include "confirm/posted_question.h"
#include "paths/runtime_dir.h"
#include "presence/confirmation_contract.h"

namespace tarnwel {
namespace {

int stop_pipe_write = -1;

extern "C" void on_stop_signal(int) {
  const int saved = errno;
  const char byte = 's';
  (void)!::write(stop_pipe_write, &byte, 1);
  errno = saved;
}

int fail(std::string_view text) {
  (void)write_all(STDERR_FILENO, std::string(text) + "\n");
  return 1;
}

std::string variable(std::string_view name) {
  const char* value = ::getenv(std::string(name).c_str());
  return value != nullptr ? std::string(value) : std::string();
}

pid_t requester_pid() {
  const std::string text = variable(REQUESTER_PID_VARIABLE);
  pid_t pid = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), pid);
  return error == std::errc() && end == text.data() + text.size() && pid > 0 ? pid : 0;
}

// A descriptor that turns readable when `pid` ends; -1 where the system has
// none (the question then waits on the other ends alone). Nothing when the
// process has ended already.
std::optional<UniqueFd> watch_process(pid_t pid) {
#if defined(__linux__) && defined(SYS_pidfd_open)
  UniqueFd fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  if (!fd.valid() && errno == ESRCH) return std::nullopt;
  return fd;
#else
  static_cast<void>(pid);
  return UniqueFd();
#endif
}

int ask() {
  if (variable("SSH_ASKPASS_PROMPT") != "confirm") {
    return fail("tarnwel-askpass asks for confirmation only (SSH_ASKPASS_PROMPT=confirm)");
  }
  Question question;
  question.reason = variable(CONFIRM_REASON_VARIABLE);
  question.profile = variable(CONFIRM_PROFILE_VARIABLE);
  if (question.reason.empty())
    return fail("tarnwel-askpass needs the reason in TARNWEL_AGENT_REASON");
  if (question.reason.size() > MAX_CONFIRM_REASON_BYTES ||
      question.profile.size() > MAX_CONFIRM_PROFILE_BYTES) {
    return fail("the reason or the profile is longer than a confirmation shows");
  }
  question.requester = requester_pid();
  if (question.requester > 0) question.program = variable(REQUESTER_EXE_VARIABLE);
  UniqueFd requester_end;
  if (question.requester > 0) {
    std::optional<UniqueFd> watch = watch_process(question.requester);
    if (!watch) return fail("the requesting program has gone");
    requester_end = std::move(*watch);
  }

  const std::string dir = confirm_dir_path_for(process_env);
  if (Result<Ok, DirRefusal> ready = prepare_runtime_dir(dir); !ready.ok()) {
    return fail(confirm_dir_refused(dir, ready.error()));
  }
  if (Result<Ok, DirRefusal> checked = check_private_dir(dir); !checked.ok()) {
    return fail(confirm_dir_refused(dir, checked.error()));
  }

  int fds[2];
  if (::pipe(fds) != 0) return fail("pipe: could not set up the wait");
  const UniqueFd stop_read(fds[0]);
  const UniqueFd stop_write(fds[1]);
  stop_pipe_write = fds[1];
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(signal, &action, nullptr);

  Result<PostedQuestion, std::string> posted = PostedQuestion::post(dir, std::move(question));
  if (!posted.ok()) return fail("could not post the question: " + posted.error());
  switch (posted.value().wait(stop_read.get(), requester_end.get(),
                              MonotonicClock::now() + CONFIRM_PROGRAM_WAIT)) {
    case PostedQuestion::Answer::Yes: return 0;
    case PostedQuestion::Answer::No: return fail("denied at a terminal");
    case PostedQuestion::Answer::Stopped: return fail("stopped before an answer came");
    case PostedQuestion::Answer::RequesterGone: return fail("the requesting program has gone");
    case PostedQuestion::Answer::TimedOut: return fail("no answer came from a terminal");
  }
  return 1;
}

}  // namespace
}  // namespace tarnwel

int main(int argc, char**) {
  if (argc != 1) {
    // The reason never comes as an argument: every user could read it there.
    (void)tarnwel::write_all(STDERR_FILENO,
                             "usage: tarnwel-askpass (the agent runs it, with "
                             "the reason in its environment)\n");
    return 2;
  }
  return tarnwel::ask();
}
