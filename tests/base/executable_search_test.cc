#include "base/executable_search.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "support/agent_process.h"

namespace tarnwel {
namespace {

TEST(ExecutableSearchTest, OnlyAbsoluteDirectoriesOfPathAreSearched) {
  testing::TempDir root;
  const std::string bin = root.path() + "/bin";
  for (const std::string& dir : {root.path(), bin}) {
    std::filesystem::create_directories(dir);
    const std::string program = dir + "/prog";
    std::ofstream(program) << "#!/bin/sh\n";
    ASSERT_EQ(::chmod(program.c_str(), 0755), 0);
  }
  const std::filesystem::path saved = std::filesystem::current_path();
  std::filesystem::current_path(root.path());
  // An empty element, ".", and a relative "bin" all name places under the
  // working directory, which holds a "prog" of its own.
  EXPECT_EQ(find_on_path("prog", ""), std::nullopt);
  EXPECT_EQ(find_on_path("prog", ":.:bin:./bin"), std::nullopt);
  EXPECT_EQ(find_on_path("prog", "::/nonexistent:bin:" + bin), bin + "/prog");
  EXPECT_EQ(find_on_path("prog", bin + "/"), bin + "//prog");
  // Neither a directory nor a file that cannot run is found.
  std::filesystem::create_directories(root.path() + "/dir/prog");
  ASSERT_EQ(::chmod((root.path() + "/prog").c_str(), 0644), 0);
  EXPECT_EQ(find_on_path("prog", root.path() + "/dir:" + root.path() + ":" + bin), bin + "/prog");
  std::filesystem::current_path(saved);
}

}  // namespace
}  // namespace tarnwel
