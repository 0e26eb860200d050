// The real agent's runtime directory as seen from outside: the refusal line
// and exit status; which directories are refused is tested in ../paths.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/agent_process.h"

namespace tarnwel::testing {
namespace {

TEST(E2eRuntimeDirTest, ARefusedDirectoryIsNamedAndEndsTheAgent) {
  TempDir root;
  // A trailing slash joins without a second one.
  AgentProcess agent(agent_environment(root.path() + "/missing/", ""));
  EXPECT_EQ(agent.wait_for_exit(), 1);
  EXPECT_EQ(agent.output(), "tarnwel-agent: refusing to use runtime dir " +
                                runtime_dir_in(root.path() + "/missing") +
                                ": No such file or directory (os error 2)\n");
  EXPECT_FALSE(std::filesystem::exists(root.path() + "/missing"));
}

}  // namespace
}  // namespace tarnwel::testing
