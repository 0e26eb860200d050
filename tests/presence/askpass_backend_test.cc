#include "presence/askpass_backend.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include "base/clock.h"
#include "base/os_error.h"
#include "base/unique_fd.h"
#include "presence/subprocess.h"
#include "support/agent_process.h"
#include "support/socket_pair.h"

namespace tarnwel {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

// Long enough never to end a test whose program finishes at once.
constexpr auto GENEROUS_WAIT = std::chrono::seconds(10);

class AskpassBackendTest : public ::testing::Test {
 protected:
  // The variables that choose the program, and those the tests set for it,
  // are unset before and after each test; PATH is put back as it was.
  void SetUp() override {
    for (const char* name : {"TARNWEL_AGENT_ASKPASS", "SSH_ASKPASS", "SSH_ASKPASS_PROMPT",
                             "ASKPASS_TEST_MARKER", "LEAK_FD", "DISPLAY", "WAYLAND_DISPLAY",
                             "TARNWEL_AGENT_REQUESTER_PID"}) {
      ::unsetenv(name);
    }
  }
  void TearDown() override {
    SetUp();
    ::setenv("PATH", path_.c_str(), 1);
  }

  // Writes an executable shell script; "$DIR" in `body` names the test's directory.
  std::string script(const std::string& name, const std::string& body,
                     fs::perms perms = fs::perms::owner_all) {
    const fs::path path = dir_ / name;
    std::ofstream(path) << "#!/bin/sh\nDIR='" << dir_.string() << "'\n" << body << "\n";
    fs::permissions(path, perms);
    return path.string();
  }

  PresenceOutcome evaluate_with(const std::string& program, std::string_view reason = "reason",
                                MonotonicClock::duration wait = GENEROUS_WAIT,
                                MonotonicClock::duration kill_grace = std::chrono::seconds(1)) {
    ::setenv("TARNWEL_AGENT_ASKPASS", program.c_str(), 1);
    return AskpassBackend(wait, kill_grace).evaluate({reason});
  }

  testing::TempDir root_;
  const fs::path dir_ = root_.path();
  const std::string path_ = ::getenv("PATH");
};

constexpr auto denied = &PresenceError::denied;

void expect_error(const PresenceOutcome& outcome, const PresenceError& error) {
  ASSERT_FALSE(outcome.ok()) << "granted, expected: " << error.display();
  EXPECT_EQ(outcome.error(), error);
}

// No child of this process is left, running or as a zombie.
void expect_no_children() {
  errno = 0;
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

// Exit status 0 grants. Otherwise the denial is the first line of stderr that
// is not blank, from what was kept of it, else how the program ended, or why
// it could not start.
TEST_F(AskpassBackendTest, ExitAndStderrDecideTheOutcome) {
  EXPECT_TRUE(evaluate_with(script("ok", "echo 'stderr alone does not deny' >&2; exit 0")).ok());

  const auto killed_by = [](int signal) {
    return "askpass was killed by signal " + std::to_string(signal);
  };
  const auto cannot_run = [](const std::string& program, int error) {
    return "could not run askpass " + program + ": " + os_error_text(error);
  };
  const std::string missing = (dir_ / "missing").string();
  const std::string not_executable = script("not_executable", "exit 0", fs::perms::owner_read);
  // Whatever the agent ignores or blocks, the program starts with neither.
  ::signal(SIGUSR1, SIG_IGN);
  sigset_t usr2;
  sigemptyset(&usr2);
  sigaddset(&usr2, SIGUSR2);
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &usr2, nullptr), 0);
  // Far more than a pipe holds, in one line without a newline: the program
  // would block if nobody read, and only the start of its line is kept.
  const std::string noisy = R"((printf 'too noisy'; head -c 300000 /dev/zero | tr '\0' x) >&2
exit 1)";
  const std::pair<std::string, std::string> cases[] = {
      {script("first_line", R"(printf '\n \t\n  Not now, \t\r\nlater\n' >&2; exit 1)"),
       "  Not now,"},
      {script("bad_utf8", R"(printf '\377x\n' >&2; exit 1)"), "\xEF\xBF\xBDx"},
      {script("blank_stderr", R"(printf ' \n\t\n' >&2; exit 255)"),
       "askpass exited with status 255"},
      {script("noisy", noisy), "too noisy" + std::string(MAX_ERROR_OUTPUT_BYTES - 9, 'x')},
      {script("killed", "kill -KILL $$"), killed_by(SIGKILL)},
      {script("ignored", "kill -USR1 $$"), killed_by(SIGUSR1)},
      {script("blocked", "kill -USR2 $$"), killed_by(SIGUSR2)},
      {missing, cannot_run(missing, ENOENT)},
      {not_executable, cannot_run(not_executable, EACCES)},
  };
  for (const auto& [program, text] : cases) expect_error(evaluate_with(program), denied(text));
  ::pthread_sigmask(SIG_UNBLOCK, &usr2, nullptr);
  ::signal(SIGUSR1, SIG_DFL);
  expect_no_children();
}

TEST_F(AskpassBackendTest, OwnVariableBeatsSshAskpassWhichBeatsADesktopsPathWhichBeatsTheBuiltin) {
  fs::create_directory(dir_ / "bin");
  script("bin/ssh-askpass", "echo path >&2; exit 1");
  ::setenv("PATH", (dir_ / "bin").string().c_str(), 1);
  ::setenv("TARNWEL_AGENT_ASKPASS", script("own", "echo own >&2; exit 1").c_str(), 1);
  ::setenv("SSH_ASKPASS", script("ssh", "echo ssh >&2; exit 1").c_str(), 1);
  AskpassBackend backend(GENEROUS_WAIT);

  expect_error(backend.evaluate({"reason"}), denied("own"));
  ::setenv("TARNWEL_AGENT_ASKPASS", "", 1);
  expect_error(backend.evaluate({"reason"}), denied("ssh"));
  ::unsetenv("SSH_ASKPASS");
  // ssh-askpass is a desktop's dialog: without one, the builtin program asks.
  // The builtin program takes no argument, which every user could read, but
  // the contract's facts in its environment; a reason longer than its
  // questions show is refused before it runs.
  const std::string builtin = script("builtin", R"(echo "builtin $# $TARNWEL_AGENT_REQUESTER_PID \
$TARNWEL_AGENT_REQUESTER_EXE $TARNWEL_AGENT_REASON $TARNWEL_AGENT_PROFILE $TARNWEL_AGENT_CONFIRM_METHOD" >&2; exit 1)");
  AskpassBackend with_builtin(GENEROUS_WAIT, std::chrono::seconds(1), builtin);
  Requester unnamed{42, "/bin/git", /*shown=*/false};
  expect_error(with_builtin.evaluate({"reason", &unnamed, "work"}),
               denied("builtin 0 42 /bin/git reason work password"));
  expect_error(with_builtin.evaluate({std::string(MAX_CONFIRM_REASON_BYTES + 1, 'r'), &unnamed}),
               denied("the reason is 4097 bytes, more than the 4096 that a confirmation shows"));
  ::setenv("TARNWEL_AGENT_REQUESTER_PID", "inherited", 1);
  ::setenv("TARNWEL_AGENT_ASKPASS",
           script("other", R"(echo "other $TARNWEL_AGENT_REQUESTER_PID" >&2; exit 1)").c_str(), 1);
  expect_error(with_builtin.evaluate({"reason", &unnamed}), denied("other inherited"));
  ::unsetenv("TARNWEL_AGENT_REQUESTER_PID");
  ::unsetenv("TARNWEL_AGENT_ASKPASS");
  expect_error(backend.evaluate({"reason"}), PresenceError::unsupported());
  for (const char* desktop : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    ::setenv(desktop, ":1", 1);
    expect_error(with_builtin.evaluate({"reason"}), denied("path"));
    ::unsetenv(desktop);
  }

  // A bare name is looked up on PATH, as find_on_path does (whose own test
  // shows which of PATH's entries count).
  script("bin/bare", "echo found >&2; exit 1");
  ::setenv("PATH", (dir_ / "bin").string().c_str(), 1);
  expect_error(evaluate_with("bare"), denied("found"));
  ::setenv("PATH", dir_.c_str(), 1);
  expect_error(evaluate_with("bare"),
               denied("could not run askpass bare: " + os_error_text(ENOENT)));
}

TEST_F(AskpassBackendTest, ProgramSeesReasonConfirmPromptAndNoOtherDescriptorOfOurs) {
  ::setenv("SSH_ASKPASS_PROMPT", "passphrase", 1);  // must be replaced, not duplicated
  ::setenv("ASKPASS_TEST_MARKER", "inherited", 1);
  const UniqueFd leak(::open("/dev/null", O_RDONLY));  // no O_CLOEXEC on purpose
  ASSERT_TRUE(leak.valid());
  ASSERT_LT(leak.get(), 10);  // below the descriptors the shell takes for itself
  ::setenv("LEAK_FD", std::to_string(leak.get()).c_str(), 1);
  const std::string program = script("observe", R"(
if [ /dev/stdin -ef /dev/null ]; then stdin=null; else stdin=other; fi
if [ /dev/stdout -ef /dev/null ]; then stdout=null; else stdout=other; fi
if [ -e "/dev/fd/$LEAK_FD" ]; then leak=yes; else leak=no; fi
if [ -e /dev/fd/2 ]; then err=open; else err=closed; fi
printf '%s|argc=%s prompt=%s marker=%s in=%s out=%s leak=%s err=%s' "$1" "$#" \
  "$(env | grep -c '^SSH_ASKPASS_PROMPT=')$SSH_ASKPASS_PROMPT" "$ASKPASS_TEST_MARKER" \
  "$stdin" "$stdout" "$leak" "$err" > "$DIR/seen"
)");
  const std::string reason = "-n  Unlock \xE2\x80\x98prod\xE2\x80\x99 \"$HOME\" `id`; *\t\n";
  EXPECT_TRUE(evaluate_with(program, reason).ok());

  EXPECT_EQ(testing::read_file(dir_ / "seen"),
            reason + "|argc=1 prompt=1confirm marker=inherited in=null out=null leak=no err=open");
}

TEST_F(AskpassBackendTest, ARequesterThatClosesItsConnectionEndsTheQuestionAtOnce) {
  // A half-close (socat's, once its input ends) is no hang-up; a close is.
  testing::SocketPair connection = testing::make_socket_pair();
  ASSERT_EQ(::shutdown(connection.peer.get(), SHUT_WR), 0);
  ::setenv("TARNWEL_AGENT_ASKPASS", script("slow", ": > \"$DIR/asked\"; exec sleep 60").c_str(), 1);
  std::thread requester_leaves([&] {
    EXPECT_TRUE(testing::wait_until([&] { return fs::exists(dir_ / "asked"); }));
    connection.peer.reset();
  });
  const Requester requester{42, "/bin/git", true, 0, connection.ours.get()};
  expect_error(AskpassBackend(GENEROUS_WAIT).evaluate({"reason", &requester}),
               denied("the requesting program has gone"));
  requester_leaves.join();
  expect_no_children();
}

TEST_F(AskpassBackendTest, ProgramStillRunningAtTheDeadlineIsEndedAndReaped) {
  // Far above any healthy delay, and far below the grace and the programs'
  // own 60 s: an end within it shows which of them ended the run.
  constexpr auto END_LIMIT = std::chrono::seconds(15);
  const Instant start = MonotonicClock::now();
  expect_error(evaluate_with(script("slow", "exec sleep 60"), "reason", milliseconds(50),
                             std::chrono::seconds(30)),
               PresenceError::timed_out());
  EXPECT_LT(MonotonicClock::now() - start, END_LIMIT);  // SIGTERM, no grace used
  expect_no_children();

  // A wrapper that ignores SIGTERM, as its child does (ignored signals are
  // inherited): only SIGKILL, after the grace, can end them, and the whole
  // group goes, not the wrapper alone. Every process of the group holds the
  // FIFO open for writing, so end of file at our reading end says the last
  // of them is gone.
  const std::string alive = (dir_ / "alive").string();
  ASSERT_EQ(::mkfifo(alive.c_str(), 0600), 0);
  const UniqueFd watch(::open(alive.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  ASSERT_TRUE(watch.valid());
  const auto grace = milliseconds(100);
  const std::string wrapper = script("wrapper",
                                     "trap '' TERM\n"
                                     "exec 3>\"$DIR/alive\"\n"
                                     "sleep 60 &\n"
                                     ": > \"$DIR/wrapped\"; wait");
  // Without the mark SIGTERM came before the trap and the run proved
  // nothing: a shell that slow is given twice the wait, and again.
  auto wait = milliseconds(200);
  MonotonicClock::duration elapsed{};
  for (;; wait *= 2) {
    const Instant started = MonotonicClock::now();
    expect_error(evaluate_with(wrapper, "reason", wait, grace), PresenceError::timed_out());
    elapsed = MonotonicClock::now() - started;
    if (fs::exists(dir_ / "wrapped") || wait > END_LIMIT) break;
  }
  ASSERT_TRUE(fs::exists(dir_ / "wrapped")) << "the wrapper never set its trap";
  EXPECT_GE(elapsed, wait + grace);
  EXPECT_LT(elapsed, wait + END_LIMIT);  // not the 60 s of the wrapper's child
  expect_no_children();
  pollfd ended{watch.get(), POLLIN, 0};
  EXPECT_EQ(::poll(&ended, 1, static_cast<int>(milliseconds(END_LIMIT).count())), 1);
  char byte = 0;
  EXPECT_EQ(::read(watch.get(), &byte, 1), 0) << "the wrapper's child outlived the time-out";
}

}  // namespace
}  // namespace tarnwel
