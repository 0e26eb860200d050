// The real agent's choice and checks of its runtime directory, as seen from
// outside: the refusal line and exit status, or the directory it serves from.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "e2e/agent_process.h"

namespace tarnwel::testing {
namespace {

std::string refusal(const std::string& dir, const std::string& reason) {
  return "tarnwel-agent: refusing to use runtime dir " + dir + ": " + reason + "\n";
}

TEST(E2eRuntimeDirTest, UnsafeOrMissingRuntimeDirsAreRefused) {
  TempDir root;
  const std::string& r = root.path();
  const std::string uid = std::to_string(::getuid());

  ASSERT_EQ(::mkdir((r + "/real").c_str(), 0700), 0);
  ASSERT_EQ(::mkdir((r + "/linked").c_str(), 0700), 0);
  ASSERT_EQ(::symlink((r + "/real").c_str(), runtime_dir_in(r + "/linked").c_str()), 0);
  ASSERT_EQ(::mkdir((r + "/file").c_str(), 0700), 0);
  std::ofstream(runtime_dir_in(r + "/file")) << "not a directory";
  // Only root can give a directory away (the tests run as root on Linux; a
  // Mac may run them as its user).
  const bool as_root = ::geteuid() == 0;
  if (as_root) {
    ASSERT_EQ(::mkdir((r + "/foreign").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir(runtime_dir_in(r + "/foreign").c_str(), 0700), 0);
    ASSERT_EQ(::chown(runtime_dir_in(r + "/foreign").c_str(), 12345, 12345), 0);
  }

  struct Case {
    std::string base;  // as the environment gives it
    std::string dir;   // the runtime directory the agent names
    std::string reason;
  };
  const std::string linked = runtime_dir_in(r + "/linked");
  const std::string file = runtime_dir_in(r + "/file");
  const std::string foreign = runtime_dir_in(r + "/foreign");
  std::vector<Case> cases = {
      {r + "/missing", runtime_dir_in(r + "/missing"), "No such file or directory (os error 2)"},
      // A trailing slash joins without a second one.
      {r + "/missing/", runtime_dir_in(r + "/missing"), "No such file or directory (os error 2)"},
      {r + "/linked", linked, linked + " is a symlink - refusing to follow it"},
      {r + "/file", file, file + " is not a directory"},
  };
  if (as_root) {
    cases.push_back({r + "/foreign", foreign,
                     foreign + " is owned by uid 12345, not this process's uid " + uid});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.base);
    AgentProcess agent(agent_environment(c.base, ""));
    EXPECT_EQ(agent.wait_for_exit(), 1);
    EXPECT_EQ(agent.output(), refusal(c.dir, c.reason));
  }

  // Refusal touches nothing: no parent made, no socket anywhere, modes kept.
  EXPECT_FALSE(std::filesystem::exists(r + "/missing"));
  EXPECT_TRUE(std::filesystem::is_empty(r + "/real"));
  if (!as_root) return;
  struct stat st {};
  ASSERT_EQ(::stat(foreign.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_TRUE(std::filesystem::is_empty(foreign));
}

TEST(E2eRuntimeDirTest, AnOwnLooseDirectoryIsTightenedAndServedFrom) {
  TempDir root;
  const std::string dir = runtime_dir_in(root.path());
  ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);

  AgentProcess agent(agent_environment(root.path() + "/", ""));
  ASSERT_TRUE(wait_until_serving(agent, dir + "/agent.sock")) << agent.output();
  struct stat st {};
  ASSERT_EQ(::stat(dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_EQ(round_trip(dir + "/agent.sock", PING), ping_reply(agent.pid()));
  EXPECT_EQ(agent.output(), "");
}

}  // namespace
}  // namespace tarnwel::testing
