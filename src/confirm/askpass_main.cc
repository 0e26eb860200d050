// tarnwel-askpass: the agent's askpass program where no desktop can show a
// dialog. It asks at a terminal instead: it posts the question in the
// confirmation directory, where the client that made the request (at its
// terminal) or "tarnwelctl confirm" (at any terminal of the user's) finds it
// and answers it, and exits 0 for "y".
//
// The agent runs it as any askpass: the prompt as its one argument,
// SSH_ASKPASS_PROMPT=confirm, and the requester's process id in
// TARNWEL_AGENT_REQUESTER_PID. A SIGTERM (the agent's time-out), SIGINT or
// SIGHUP ends the wait; the question's files go with it.
#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/clock.h"
#include "base/os_error.h"
#include "base/process_executable.h"
#include "base/unique_fd.h"
#include "base/write_all.h"
#include "confirm/posted_question.h"
#include "paths/runtime_dir.h"

namespace tarnwel {
namespace {

// A little longer than the agent waits, which ends this program first; the
// limit only matters when the agent has gone.
constexpr std::chrono::seconds OWN_WAIT{125};

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

pid_t requester_pid() {
  const char* value = ::getenv("TARNWEL_AGENT_REQUESTER_PID");
  pid_t pid = 0;
  if (value == nullptr) return 0;
  const std::string_view text = value;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), pid);
  return error == std::errc() && end == text.data() + text.size() && pid > 0 ? pid : 0;
}

int ask(const char* prompt) {
  const char* kind = ::getenv("SSH_ASKPASS_PROMPT");
  if (kind == nullptr || std::string_view(kind) != "confirm") {
    return fail("tarnwel-askpass asks for confirmation only (SSH_ASKPASS_PROMPT=confirm)");
  }
  const std::string dir = confirm_dir_path_for(process_env);
  if (Result<Ok, DirRefusal> ready = prepare_runtime_dir(dir); !ready.ok()) {
    return fail("refusing to use confirmation dir " + display_path(dir) + ": " +
                ready.error().reason);
  }
  if (Result<Ok, DirRefusal> checked = check_private_dir(dir); !checked.ok()) {
    return fail("refusing to use confirmation dir " + display_path(dir) + ": " +
                checked.error().reason);
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

  Question question;
  question.requester = requester_pid();
  if (question.requester > 0) {
    const char* exe = ::getenv("TARNWEL_AGENT_REQUESTER_EXE");
    question.program = exe != nullptr && *exe != '\0'
                           ? std::string(exe)
                           : process_executable(question.requester).value_or("");
  }
  question.prompt = prompt;
  Result<PostedQuestion, std::string> posted = PostedQuestion::post(dir, std::move(question));
  if (!posted.ok()) return fail("could not post the question: " + posted.error());
  switch (posted.value().wait(stop_read.get(), MonotonicClock::now() + OWN_WAIT)) {
    case PostedQuestion::Answer::Yes: return 0;
    case PostedQuestion::Answer::No: return fail("denied at a terminal");
    case PostedQuestion::Answer::Stopped: return fail("stopped before an answer came");
    case PostedQuestion::Answer::TimedOut: return fail("no answer came from a terminal");
  }
  return 1;
}

}  // namespace
}  // namespace tarnwel

int main(int argc, char** argv) {
  if (argc != 2) {
    (void)tarnwel::write_all(STDERR_FILENO, "usage: tarnwel-askpass PROMPT\n");
    return 2;
  }
  return tarnwel::ask(argv[1]);
}
