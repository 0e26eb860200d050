#include "base/detached_thread.h"

#include <future>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "support/agent_process.h"

namespace tarnwel {
namespace {

// The body runs on a thread of its own, which owns it and destroys it, and
// what it holds, once it has run.
TEST(DetachedThreadTest, RunsTheBodyOnAThreadOfItsOwnAndThenDestroysIt) {
  const auto held = std::make_shared<int>(0);
  std::promise<std::thread::id> ran;
  std::future<std::thread::id> runner = ran.get_future();
  ASSERT_TRUE(start_detached([held, &ran] { ran.set_value(std::this_thread::get_id()); }));
  EXPECT_NE(runner.get(), std::this_thread::get_id());
  EXPECT_TRUE(testing::wait_until([&] { return held.use_count() == 1; }));
}

}  // namespace
}  // namespace tarnwel
