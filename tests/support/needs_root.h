// Tests that only root can run: they act as other users, read the memory of
// an undumpable agent or give files away. Each one is listed under the ctest
// label "root" in tests/CMakeLists.txt; for an ordinary user it skips and
// says why, so that a green run never hides what it did not check.
//
//   TEST(ProcessIsolationTest, ...) {
//     SKIP_UNLESS_ROOT("acts as another user");
//     ...
//   }
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <string_view>

#include <gtest/gtest.h>

namespace tarnwel::testing {

// Under ctest every test is told the group it was discovered in
// (TARNWEL_TEST_GROUP); a root-only test outside the group "root" would
// carry no label and skip unnoticed, so it fails instead.
inline void expect_listed_as_root_test() {
  const char* group = ::getenv("TARNWEL_TEST_GROUP");
  EXPECT_TRUE(group == nullptr || std::string_view(group) == "root")
      << "a test that needs root belongs in TARNWEL_ROOT_TESTS (tests/CMakeLists.txt)";
}

}  // namespace tarnwel::testing

// Ends the test as skipped unless it runs as root; the message names the
// reason and how to run the root tests.
#define SKIP_UNLESS_ROOT(why)                                               \
  if (::tarnwel::testing::expect_listed_as_root_test(), ::geteuid() == 0) { \
  } else                                                                    \
    GTEST_SKIP() << "needs root: " << (why) << " (run them with: sudo ctest --preset debug -L root)"
