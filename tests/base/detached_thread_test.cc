#include "base/detached_thread.h"

#include <pthread.h>

#include <cstddef>
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

// The size of the calling thread's stack.
std::size_t own_stack_size() {
#if defined(__APPLE__)
  return ::pthread_get_stacksize_np(::pthread_self());
#else
  pthread_attr_t attributes;
  std::size_t bytes = 0;
  if (::pthread_getattr_np(::pthread_self(), &attributes) != 0) return 0;
  ::pthread_attr_getstacksize(&attributes, &bytes);
  ::pthread_attr_destroy(&attributes);
  return bytes;
#endif
}

// The stack asked for is the one the thread runs on, not the system's default.
TEST(DetachedThreadTest, RunsOnAStackOfTheSizeAskedFor) {
  constexpr std::size_t ASKED = 512 * 1024;
  std::promise<std::size_t> size;
  std::future<std::size_t> measured = size.get_future();
  ASSERT_TRUE(start_detached([&size] { size.set_value(own_stack_size()); }, ASKED));
  const std::size_t bytes = measured.get();
  EXPECT_GE(bytes, ASKED);
  EXPECT_LT(bytes, 2 * ASKED);
}

}  // namespace
}  // namespace tarnwel
