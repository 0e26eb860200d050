#include "paths/runtime_dir.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "e2e/agent_process.h"

namespace tarnwel {
namespace {

TEST(RuntimeDirTest, CreatedPrivateEvenUnderAPermissiveUmask) {
  testing::TempDir root;
  const std::string dir = runtime_dir_for(root.path(), 1000);
  const mode_t saved = ::umask(0);
  const Result<Ok, DirRefusal> created = create_private_dir(dir);
  ::umask(saved);
  ASSERT_TRUE(created.ok()) << created.error().reason;
  struct stat st {};
  ASSERT_EQ(::lstat(dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
}

}  // namespace
}  // namespace tarnwel
