// An agent that tarnwelctl starts for an ordinary user who may lock no memory
// (ulimit -l 0) keeps its warning in its log, and "status" says so. Root may
// always lock memory, so as root the clients run as another user.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "stress/other_user.h"
#include "support/agent_harness.h"
#include "support/sanitizers.h"

namespace tarnwel::testing {
namespace {

constexpr uid_t NO_LOCK_USER = 47'315;

TEST(MemoryLockWarningTest, StatusReportsTheWarningThatAnAgentItStartedLogged) {
  if (UNDER_SANITIZER) GTEST_SKIP() << "the sanitizers' mlock interceptor never fails";
  TempDir root;  // everything the other user runs or writes lies in it
  ASSERT_EQ(::chmod(root.path().c_str(), 0755), 0);
  const std::string home = root.path() + "/home";
  ASSERT_EQ(::mkdir(home.c_str(), 0755), 0);
  // tarnwelctl starts the agent beside it.
  const std::string tarnwelctl = copy_for_others(TARNWELCTL_PATH_FOR_CLIENT_TESTS, root.path());
  (void)copy_for_others(TARNWEL_AGENT_BINARY, root.path());
  if (::geteuid() == 0) {
    if (!user_may_run(NO_LOCK_USER, tarnwelctl)) GTEST_SKIP() << "another uid cannot reach /tmp";
    ASSERT_EQ(::chown(home.c_str(), NO_LOCK_USER, NO_LOCK_USER), 0);
  }
  std::vector<std::string> environment =
      agent_environment(home, write_askpass_script(root.path(), "exit 0"));
  environment.push_back("HOME=" + home);
  // Runs tarnwelctl under "ulimit -l 0", as NO_LOCK_USER when root, with a
  // secret on stdin.
  const auto ctl = [&](std::vector<std::string> args) {
    args.insert(args.begin(), tarnwelctl);
    return client_testing::RunningProgram(
               [&](int in, int out, int err) {
                 return spawn_as_user(NO_LOCK_USER, args, environment,
                                      ChildLimit{RLIMIT_MEMLOCK, 0}, in, out, err);
               },
               "s3cret\n")
        .finish();
  };

  ASSERT_EQ(ctl({"start"}).status, 0);
  const std::string log_dir = home + "/.local/state/tarnwel-agent", log = log_dir + "/agent.log";
  EXPECT_EQ(mode_of(log), 0600u);
  EXPECT_EQ(mode_of(log_dir), 0700u);
  // A successful start is silent, and so is status then.
  EXPECT_EQ(ctl({"status"}).out.find("warning"), std::string::npos);
  EXPECT_EQ(ctl({"unlock", "p", "--reason", "r"}).status, 0);
  const client_testing::CtlResult warned = ctl({"status"});
  EXPECT_EQ(warned.status, 0);
  EXPECT_NE(warned.out.find("cached profiles:\n  p\nwarning: the agent (pid "), std::string::npos);
  EXPECT_TRUE(warned.out.ends_with(
      ") could not lock a secret's memory, which may then be written to swap; see " + log + "\n"))
      << warned.out;
  // One warning, however many secrets the agent cannot lock.
  for (int i = 0; i < 3; ++i) EXPECT_EQ(ctl({"get", "p"}).out, "s3cret\n");
  const std::string logged = read_file(log);
  EXPECT_NE(logged.find("mlock failed ("), std::string::npos) << logged;
  EXPECT_EQ(logged.find("mlock failed ("), logged.rfind("mlock failed (")) << logged;
  EXPECT_EQ(ctl({"shutdown"}).status, 0);
}

}  // namespace
}  // namespace tarnwel::testing
