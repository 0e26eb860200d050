// Runs on macOS only: the watch sees com.apple.screenIsLocked, posted here to
// the session's distributed notification center as the login window posts it.
#include <CoreFoundation/CoreFoundation.h>

#include <chrono>

#include <gtest/gtest.h>

#include "server/screen_lock_watch.h"

namespace tarnwel {
namespace {

TEST(ScreenLockWatchMacTest, TheScreenLockedNotificationIsSeenOnce) {
  Result<std::unique_ptr<ScreenLockWatch>, std::string> watch = ScreenLockWatch::start();
  ASSERT_TRUE(watch.ok()) << watch.error();
  ScreenLockWatch& screen = *watch.value();
  EXPECT_EQ(screen.fd(), -1);
  CFNotificationCenterRef center = CFNotificationCenterGetDistributedCenter();
  EXPECT_FALSE(screen.locked());
  CFNotificationCenterPostNotification(center, CFSTR("com.apple.screenIsLocked"), nullptr, nullptr,
                                       true);
  // Delivered through the session's notification daemon, at a moment of its own.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  bool seen = false;
  while (!seen && std::chrono::steady_clock::now() < deadline) {
    seen = screen.locked();
    if (!seen) CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.05, true);  // waits for the delivery
  }
  EXPECT_TRUE(seen);
  EXPECT_FALSE(screen.locked()) << "one lock is reported once";
}

}  // namespace
}  // namespace tarnwel
