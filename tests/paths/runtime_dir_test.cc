#include "paths/runtime_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "support/agent_process.h"
#include "support/needs_root.h"

namespace tarnwel {
namespace {

TEST(RuntimeDirTest, TheAgentMakesItsOwnPrivateRefusesWhatItCannotUseAndTightensItLoose) {
  testing::TempDir root;
  const std::string& r = root.path();
  // Private even under a permissive umask.
  const std::string dir = runtime_dir_for(r, 1000);
  const mode_t saved = ::umask(0);
  const Result<Ok, DirRefusal> created = create_private_dir(dir);
  ::umask(saved);
  ASSERT_TRUE(created.ok()) << created.error().reason;
  EXPECT_EQ(testing::mode_of(dir), 0700u);

  // A missing base directory: the agent's whole line, end to end, in
  // tarnwelctl_test.cc (AFailedStartShowsTheAgentsLineFromItsLog).
  ASSERT_EQ(::mkdir((r + "/real").c_str(), 0700), 0);
  const std::string link = r + "/link";
  ASSERT_EQ(::symlink((r + "/real").c_str(), link.c_str()), 0);
  EXPECT_EQ(prepare_runtime_dir(link).error().reason,
            link + " is a symlink - refusing to follow it");
  const std::string file = r + "/file";
  ASSERT_EQ(::close(::open(file.c_str(), O_CREAT | O_WRONLY, 0600)), 0);
  EXPECT_EQ(prepare_runtime_dir(file).error().reason, file + " is not a directory");

  const std::string loose = r + "/loose";
  ASSERT_EQ(::mkdir(loose.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(loose.c_str(), 0755), 0);
  ASSERT_TRUE(prepare_runtime_dir(loose).ok());
  EXPECT_EQ(testing::mode_of(loose), 0700u);
}

TEST(RuntimeDirTest, TheAgentRefusesADirectoryOfAnotherUserAndLeavesItAsItWas) {
  SKIP_UNLESS_ROOT("gives a directory to another user");
  testing::TempDir root;
  const std::string foreign = root.path() + "/foreign";
  ASSERT_EQ(::mkdir(foreign.c_str(), 0700), 0);
  ASSERT_EQ(::chown(foreign.c_str(), 12345, 12345), 0);
  ASSERT_EQ(::chmod(foreign.c_str(), 0750), 0);  // what the agent would tighten in its own
  EXPECT_EQ(
      prepare_runtime_dir(foreign).error().reason,
      foreign + " is owned by uid 12345, not this process's uid " + std::to_string(::getuid()));
  EXPECT_EQ(testing::mode_of(foreign), 0750u);  // left as it was
}

TEST(RuntimeDirTest, AClientTrustsOnlyAPrivateDirectoryAndChangesNothing) {
  testing::TempDir root;
  const std::string dir = root.path() + "/d";
  const Result<Ok, DirRefusal> missing = check_private_dir(dir);
  ASSERT_FALSE(missing.ok());
  EXPECT_TRUE(missing.error().missing);
  EXPECT_FALSE(std::filesystem::exists(dir));  // not created

  ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
  EXPECT_TRUE(check_private_dir(dir).ok());
  for (const mode_t open : {0710, 0701, 0770, 0755, 0777}) {
    ASSERT_EQ(::chmod(dir.c_str(), open), 0);
    const Result<Ok, DirRefusal> refused = check_private_dir(dir);
    ASSERT_FALSE(refused.ok()) << std::oct << open;
    EXPECT_FALSE(refused.error().missing);
    EXPECT_EQ(testing::mode_of(dir), open);  // not repaired
  }
  ASSERT_EQ(::chmod(dir.c_str(), 0500), 0);  // narrower than 0700 is still private
  EXPECT_TRUE(check_private_dir(dir).ok());

  const std::string link = root.path() + "/link";
  ASSERT_EQ(::symlink(dir.c_str(), link.c_str()), 0);
  const Result<Ok, DirRefusal> linked = check_private_dir(link);
  ASSERT_FALSE(linked.ok());
  EXPECT_EQ(linked.error().reason, link + " is a symlink - refusing to follow it");

  EXPECT_EQ(directory_of("/run/x/agent.sock"), "/run/x");
  EXPECT_EQ(directory_of("/agent.sock"), "/");
  EXPECT_EQ(directory_of("agent.sock"), ".");
}

}  // namespace
}  // namespace tarnwel
