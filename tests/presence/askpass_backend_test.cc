#include "presence/askpass_backend.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "base/clock.h"
#include "base/os_error.h"
#include "base/unique_fd.h"
#include "presence/subprocess.h"

namespace tarnwel {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

// Long enough never to end a test whose program finishes at once.
constexpr auto GENEROUS_WAIT = std::chrono::seconds(10);

class AskpassBackendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "askpass-test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr) << os_error_text(errno);
    dir_ = pattern;
    for (const char* name :
         {"TARNWEL_AGENT_ASKPASS", "SSH_ASKPASS", "SSH_ASKPASS_PROMPT", "PATH"}) {
      const char* value = ::getenv(name);
      saved_env_[name] = value != nullptr ? std::optional<std::string>(value) : std::nullopt;
    }
    ::unsetenv("TARNWEL_AGENT_ASKPASS");
    ::unsetenv("SSH_ASKPASS");
  }

  void TearDown() override {
    for (const auto& [name, value] : saved_env_) {
      if (value.has_value()) {
        ::setenv(name.c_str(), value->c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
    fs::remove_all(dir_);
  }

  // Writes an executable shell script; "$DIR" in `body` names the test's directory.
  std::string script(const std::string& name, const std::string& body,
                     fs::perms perms = fs::perms::owner_all) {
    const fs::path path = dir_ / name;
    std::ofstream(path) << "#!/bin/sh\nDIR='" << dir_.string() << "'\n" << body << "\n";
    fs::permissions(path, perms);
    return path.string();
  }

  std::string read(const std::string& name) {
    std::ostringstream text;
    text << std::ifstream(dir_ / name).rdbuf();
    return text.str();
  }

  PresenceOutcome evaluate_with(const std::string& program, std::string_view reason = "reason",
                                MonotonicClock::duration wait = GENEROUS_WAIT,
                                MonotonicClock::duration kill_grace = std::chrono::seconds(1)) {
    ::setenv("TARNWEL_AGENT_ASKPASS", program.c_str(), 1);
    return AskpassBackend(wait, kill_grace).evaluate({reason});
  }

  fs::path dir_;
  std::map<std::string, std::optional<std::string>> saved_env_;
};

void expect_denied(const PresenceOutcome& outcome, const std::string& text) {
  ASSERT_FALSE(outcome.ok()) << "granted, expected denied with: " << text;
  EXPECT_EQ(outcome.error(), PresenceError::denied(text));
}

// No child of this process is left, running or as a zombie.
void expect_no_children() {
  errno = 0;
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST_F(AskpassBackendTest, ExitDecidesTheOutcome) {
  EXPECT_TRUE(evaluate_with(script("ok", "echo 'stderr alone does not deny' >&2; exit 0")).ok());

  expect_denied(evaluate_with(script("first_line",
                                     R"(printf '\n \t\n  Not now, \t\r\nlater\n' >&2; exit 1)")),
                "  Not now,");
  expect_denied(evaluate_with(script("unterminated", "printf 'no newline' >&2; exit 1")),
                "no newline");
  expect_denied(evaluate_with(script("bad_utf8", R"(printf '\377x\n' >&2; exit 1)")),
                "\xEF\xBF\xBDx");
  expect_denied(evaluate_with(script("blank_stderr", R"(printf ' \n\t\n' >&2; exit 3)")),
                "askpass exited with status 3");
  expect_denied(evaluate_with(script("status", "exit 255")), "askpass exited with status 255");
  expect_denied(evaluate_with(script("killed", "kill -KILL $$")),
                "askpass was killed by signal " + std::to_string(SIGKILL));
  expect_no_children();
}

TEST_F(AskpassBackendTest, ProgramThatCannotStartIsReported) {
  const std::string missing = (dir_ / "missing").string();
  expect_denied(evaluate_with(missing),
                "could not run askpass " + missing + ": " + os_error_text(ENOENT));
  const std::string not_executable = script("not_executable", "exit 0", fs::perms::owner_read);
  expect_denied(evaluate_with(not_executable),
                "could not run askpass " + not_executable + ": " + os_error_text(EACCES));
}

TEST_F(AskpassBackendTest, OwnVariableBeatsSshAskpassWhichBeatsPath) {
  fs::create_directory(dir_ / "bin");
  script("bin/ssh-askpass", "echo path >&2; exit 1");
  ::setenv("PATH", (dir_ / "bin").string().c_str(), 1);
  ::setenv("TARNWEL_AGENT_ASKPASS", script("own", "echo own >&2; exit 1").c_str(), 1);
  ::setenv("SSH_ASKPASS", script("ssh", "echo ssh >&2; exit 1").c_str(), 1);
  AskpassBackend backend(GENEROUS_WAIT);

  expect_denied(backend.evaluate({"reason"}), "own");
  ::setenv("TARNWEL_AGENT_ASKPASS", "", 1);
  expect_denied(backend.evaluate({"reason"}), "ssh");
  ::unsetenv("SSH_ASKPASS");
  expect_denied(backend.evaluate({"reason"}), "path");

  // Neither a directory nor a file that cannot run counts as found on PATH.
  fs::create_directories(dir_ / "dir_entry" / "ssh-askpass");
  fs::create_directory(dir_ / "file_entry");
  script("file_entry/ssh-askpass", "exit 0", fs::perms::owner_read);
  ::setenv("PATH", ((dir_ / "dir_entry").string() + ":" + (dir_ / "file_entry").string()).c_str(),
           1);
  ::setenv("SSH_ASKPASS", "", 1);
  const PresenceOutcome outcome = backend.evaluate({"reason"});
  ASSERT_FALSE(outcome.ok());
  EXPECT_EQ(outcome.error(), PresenceError::unsupported());

  // A bare name goes along PATH's absolute directories only: the empty
  // element and "." would be the working directory, which holds one too.
  script("bare", "echo planted >&2; exit 1");
  script("bin/bare", "echo found >&2; exit 1");
  const fs::path saved = fs::current_path();
  fs::current_path(dir_);
  ::setenv("PATH", ("::.:" + (dir_ / "bin").string()).c_str(), 1);
  expect_denied(evaluate_with("bare"), "found");
  ::setenv("PATH", ":.", 1);
  expect_denied(evaluate_with("bare"), "could not run askpass bare: " + os_error_text(ENOENT));
  fs::current_path(saved);
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
printf 'argc=%s prompt=%s marker=%s stdin=%s stdout=%s leak=%s stderr=%s' "$#" \
  "$(env | grep -c '^SSH_ASKPASS_PROMPT=')$SSH_ASKPASS_PROMPT" "$ASKPASS_TEST_MARKER" \
  "$stdin" "$stdout" "$leak" "$err" > "$DIR/seen"
printf '%s' "$1" > "$DIR/reason"
)");
  const std::string reason = "-n  Unlock \xE2\x80\x98prod\xE2\x80\x99 \"$HOME\" `id`; *\t\n";
  EXPECT_TRUE(evaluate_with(program, reason).ok());
  ::unsetenv("ASKPASS_TEST_MARKER");
  ::unsetenv("LEAK_FD");

  EXPECT_EQ(read("reason"), reason);
  EXPECT_EQ(read("seen"),
            "argc=1 prompt=1confirm marker=inherited stdin=null stdout=null leak=no stderr=open");
}

// Whatever the agent ignores or blocks, the program starts with neither.
TEST_F(AskpassBackendTest, ProgramStartsWithNoSignalIgnoredOrBlocked) {
  ::signal(SIGUSR1, SIG_IGN);
  sigset_t usr2;
  sigemptyset(&usr2);
  sigaddset(&usr2, SIGUSR2);
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &usr2, nullptr), 0);
  for (const int signal : {SIGUSR1, SIGUSR2}) {
    expect_denied(evaluate_with(script("self", "kill -" + std::to_string(signal) + " $$")),
                  "askpass was killed by signal " + std::to_string(signal));
  }
  ::pthread_sigmask(SIG_UNBLOCK, &usr2, nullptr);
  ::signal(SIGUSR1, SIG_DFL);
}

TEST_F(AskpassBackendTest, ProgramStillRunningAtTheDeadlineIsEndedAndReaped) {
  const Instant start = MonotonicClock::now();
  PresenceOutcome outcome = evaluate_with(script("slow", "exec sleep 5"), "reason",
                                          milliseconds(50), std::chrono::seconds(5));
  ASSERT_FALSE(outcome.ok());
  EXPECT_EQ(outcome.error(), PresenceError::timed_out());
  EXPECT_LT(MonotonicClock::now() - start, std::chrono::seconds(3));  // SIGTERM, no grace used
  expect_no_children();

  // A wrapper that ignores SIGTERM, as its child does (ignored signals are
  // inherited): only SIGKILL, after the grace, can end them, and the whole
  // group goes, not the wrapper alone. The wait leaves the shell time to set
  // its trap even on a loaded machine.
  const auto wait = milliseconds(200);
  const auto grace = milliseconds(100);
  const Instant second_start = MonotonicClock::now();
  outcome = evaluate_with(script("wrapper",
                                 "trap '' TERM\n"
                                 "(sleep 0.5; : > \"$DIR/survivor\") &\n"
                                 ": > \"$DIR/wrapped\"; wait"),
                          "reason", wait, grace);
  ASSERT_FALSE(outcome.ok());
  EXPECT_EQ(outcome.error(), PresenceError::timed_out());
  const auto elapsed = MonotonicClock::now() - second_start;
  // Without the mark SIGTERM may have come before the trap, and proved nothing.
  ASSERT_TRUE(fs::exists(dir_ / "wrapped"));
  EXPECT_GE(elapsed, wait + grace);
  EXPECT_LT(elapsed, std::chrono::seconds(3));
  expect_no_children();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_FALSE(fs::exists(dir_ / "survivor")) << "the wrapper's child outlived the time-out";
}

TEST_F(AskpassBackendTest, NoisyProgramIsDrainedAndWhatIsKeptIsBounded) {
  // Far more than a pipe holds: the program would block if nobody read.
  expect_denied(evaluate_with(script("noisy", R"(
echo 'too noisy' >&2
head -c 300000 /dev/zero | tr '\0' x >&2
exit 1)")),
                "too noisy");
  const PresenceOutcome outcome =
      evaluate_with(script("one_long_line", R"(head -c 300000 /dev/zero | tr '\0' x >&2; exit 1)"));
  ASSERT_FALSE(outcome.ok());
  EXPECT_EQ(outcome.error().denied_text(), std::string(MAX_ERROR_OUTPUT_BYTES, 'x'));
}

}  // namespace
}  // namespace tarnwel
