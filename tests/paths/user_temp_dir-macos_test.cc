// Runs on macOS only: the per-user temporary directory that confstr gives, and
// the agent's choice of it when the environment names no directory of its own.
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "paths/runtime_dir.h"
#include "paths/user_temp_dir.h"

namespace tarnwel {
namespace {

TEST(UserTempDirMacTest, ConfstrNamesThisUsersPrivateDirectoryWhichComesBeforeTheVariables) {
  const std::optional<std::string> dir = user_temp_dir();
  ASSERT_TRUE(dir.has_value());
  ASSERT_FALSE(dir->empty());
  EXPECT_EQ(dir->front(), '/') << *dir;
  EXPECT_NE(dir->back(), '\0') << "the terminator is not part of the path";
  struct stat st {};
  ASSERT_EQ(::stat(dir->c_str(), &st), 0) << *dir;
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_uid, ::getuid());
  EXPECT_EQ(st.st_mode & 0077, 0u) << "only its owner may enter it";

  // It comes before the XDG and temporary-directory variables.
  const auto env = [](const char* name) -> std::optional<std::string> {
    const std::string variable = name;
    if (variable == "XDG_RUNTIME_DIR" || variable == "TMPDIR") return "/tmp";
    return std::nullopt;
  };
  EXPECT_EQ(choose_base_dir(env), *dir);
}

}  // namespace
}  // namespace tarnwel
