#include "base/secure_wipe.h"

#include <gtest/gtest.h>

// What the wipe zeroes is checked on painted stacks by the connection tests;
// here, what it must not do.
#if defined(__linux__)
#include <sys/resource.h>

#include <cstddef>
#include <thread>

#include "support/sanitizers.h"

namespace tarnwel {
namespace {

// Touches the few pages just below the caller's frame, where the wipe's own
// frame and its calls will lie.
[[gnu::noinline]] void touch_below() {
  volatile unsigned char bytes[8192];
  for (std::size_t i = 0; i < sizeof bytes; i += 512) bytes[i] = 1;
}

long minor_faults_of_this_thread() {
  rusage usage{};
  (void)::getrusage(RUSAGE_THREAD, &usage);
  return usage.ru_minflt;
}

// A fresh thread's stack below its first frames is either never touched or
// handed back by glibc, as a connection thread's is: the wipe leaves it so.
TEST(WipeStackTest, FaultsInNoPageTheCallerNeverTouched) {
  if (testing::UNDER_SANITIZER) GTEST_SKIP() << "sanitizers add frames and calls of their own";
  // Symbols bound and statics set up before anything is counted.
  wipe_stack(MAX_STACK_WIPE);
  (void)minor_faults_of_this_thread();
  std::thread([] {
    touch_below();
    const long before = minor_faults_of_this_thread();
    wipe_stack(MAX_STACK_WIPE);
    const long after = minor_faults_of_this_thread();
    EXPECT_EQ(after - before, 0);
  }).join();
}

}  // namespace
}  // namespace tarnwel
#endif
