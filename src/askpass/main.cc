// tarnwel-askpass: the agent's own confirmation program. It asks at a
// terminal: it posts the question in the confirmation directory, where the
// client that made the request (at its terminal) or "tarnwelctl confirm" (at
// any terminal of the user's) finds it and answers it. By default it checks
// the user's login password through PAM, whose prompts it relays to the
// answerer's terminal (up to three tries); with the yes/no method a "y" is
// enough. It exits 0 when confirmed.
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

#include <chrono>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "askpass/pam_authentication.h"
#include "base/clock.h"
#include "base/decimal.h"
#include "base/os_error.h"
#include "base/signal_hook.h"
#include "base/unique_fd.h"
#include "base/wake_pipe.h"
#include "base/write_all.h"
#include "confirm/conversation.h"
#include "confirm/posted_question.h"
#include "paths/runtime_dir.h"
#include "presence/confirmation_contract.h"

namespace tarnwel {
namespace {

// What SIGTERM, SIGINT and SIGHUP do while the question waits.
void wake_stop_pipe(void* pipe) { static_cast<WakePipe*>(pipe)->wake(); }

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
  const std::optional<std::uint64_t> pid = parse_decimal(text, std::numeric_limits<pid_t>::max());
  return pid ? static_cast<pid_t>(*pid) : 0;
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

std::string_view end_text(PostedQuestion::End end) {
  switch (end) {
    case PostedQuestion::End::Stopped: return "stopped before an answer came";
    case PostedQuestion::End::RequesterGone: return REQUESTER_GONE_TEXT;
    case PostedQuestion::End::TimedOut: return "no answer came from a terminal";
  }
  return "stopped before an answer came";
}

std::optional<PostedQuestion::End> end_of(ReplyEnd end) {
  switch (end) {
    case ReplyEnd::Stopped: return PostedQuestion::End::Stopped;
    case ReplyEnd::RequesterGone: return PostedQuestion::End::RequesterGone;
    case ReplyEnd::TimedOut: return PostedQuestion::End::TimedOut;
    case ReplyEnd::Answered:
    case ReplyEnd::Declined:
    case ReplyEnd::AnswererGone: return std::nullopt;
  }
  return std::nullopt;
}

// The question's outcome, told to its answerer, whose talk ends with it.
int decided(PostedQuestion& posted, int link, bool granted, std::string_view denial = {}) {
  posted.withdraw();
  (void)send_to_answerer(link, AskKind::Done);
  return granted ? 0 : fail(denial);
}

int ask_yes_no(PostedQuestion& posted, const WaitEnds& ends) {
  while (true) {
    Result<UniqueFd, PostedQuestion::End> link = posted.next_answerer(ends);
    if (!link.ok()) return fail(end_text(link.error()));
    const int fd = link.value().get();
    WipedBytes answer;
    const ReplyEnd end = send_to_answerer(fd, AskKind::YesNo) ? read_reply(fd, answer, ends)
                                                              : ReplyEnd::AnswererGone;
    if (const std::optional<PostedQuestion::End> over = end_of(end)) return fail(end_text(*over));
    if (end == ReplyEnd::AnswererGone) continue;  // another may answer
    const bool yes = end == ReplyEnd::Answered && as_view(answer) == "y";
    return decided(posted, fd, yes, "denied at a terminal");
  }
}

// Relays PAM's prompts to one answerer and takes its replies.
class AnswererPrompter final : public PamPrompter {
 public:
  AnswererPrompter(int link, const WaitEnds& ends) : link_(link), ends_(ends) {}

  std::optional<WipedBytes> ask(std::string_view text, bool echo) override {
    if (!send_to_answerer(link_, echo ? AskKind::Text : AskKind::Secret, text)) return std::nullopt;
    WipedBytes reply;
    end_ = read_reply(link_, reply, ends_);
    if (end_ != ReplyEnd::Answered) return std::nullopt;
    return reply;
  }
  void tell(std::string_view text, bool error) override {
    (void)send_to_answerer(link_, error ? AskKind::Error : AskKind::Show, text);
  }
  ReplyEnd end() const { return end_; }

 private:
  int link_;
  const WaitEnds& ends_;
  ReplyEnd end_ = ReplyEnd::Answered;
};

int ask_password(PostedQuestion& posted, const WaitEnds& ends) {
  int tries_left = PAM_TRIES;
  while (true) {
    Result<UniqueFd, PostedQuestion::End> link = posted.next_answerer(ends);
    if (!link.ok()) return fail(end_text(link.error()));
    AnswererPrompter prompter(link.value().get(), ends);
    const PamOutcome outcome = authenticate_with_pam(prompter, tries_left);
    if (const std::optional<PostedQuestion::End> over = end_of(prompter.end())) {
      return fail(end_text(*over));
    }
    if (prompter.end() == ReplyEnd::Declined) {
      return decided(posted, link.value().get(), false, "denied at a terminal");
    }
    switch (outcome.kind) {
      case PamOutcome::Kind::Granted: return decided(posted, link.value().get(), true);
      case PamOutcome::Kind::Denied:
        (void)send_to_answerer(link.value().get(), AskKind::Error, outcome.text);
        return decided(posted, link.value().get(), false, outcome.text);
      case PamOutcome::Kind::Unanswered: continue;  // another may answer
    }
  }
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
    if (!watch) return fail(REQUESTER_GONE_TEXT);
    requester_end = std::move(*watch);
  }

  const std::string dir = confirm_dir_path_for(process_env);
  if (Result<Ok, DirRefusal> ready = prepare_runtime_dir(dir); !ready.ok()) {
    return fail(confirm_dir_refused(dir, ready.error()));
  }
  if (Result<Ok, DirRefusal> checked = check_private_dir(dir); !checked.ok()) {
    return fail(confirm_dir_refused(dir, checked.error()));
  }

  Result<WakePipe, SysError> stop = WakePipe::open();
  if (!stop.ok()) return fail("pipe: could not set up the wait");
  const SignalHook stop_signals({SIGTERM, SIGINT, SIGHUP}, 0, wake_stop_pipe, &stop.value());
  // An answerer that goes away mid-way is a failed write, not this program's end.
  ::signal(SIGPIPE, SIG_IGN);

  Result<PostedQuestion, std::string> posted = PostedQuestion::post(dir, std::move(question));
  if (!posted.ok()) return fail("could not post the question: " + posted.error());
  const WaitEnds ends{stop.value().read_fd(), requester_end.get(),
                      MonotonicClock::now() + CONFIRM_PROGRAM_WAIT};
  return variable(CONFIRM_METHOD_VARIABLE) == CONFIRM_METHOD_YES_NO
             ? ask_yes_no(posted.value(), ends)
             : ask_password(posted.value(), ends);
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
