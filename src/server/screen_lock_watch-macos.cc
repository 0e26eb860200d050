#include <CoreFoundation/CoreFoundation.h>

#include "server/screen_lock_watch.h"

namespace tarnwel {

struct ScreenLockWatch::Platform {
  bool locked = false;
  // While it is registered, the center calls on_locked on this thread's run
  // loop; removed before the platform goes.
  bool observing = false;
  ~Platform() {
    if (observing) {
      CFNotificationCenterRemoveEveryObserver(CFNotificationCenterGetDistributedCenter(), this);
    }
  }
};

namespace {

void on_locked(CFNotificationCenterRef, void* seen, CFNotificationName, const void*,
               CFDictionaryRef) {
  static_cast<ScreenLockWatch::Platform*>(seen)->locked = true;
}

}  // namespace

Result<std::unique_ptr<ScreenLockWatch>, std::string> ScreenLockWatch::start() {
  CFNotificationCenterRef center = CFNotificationCenterGetDistributedCenter();
  if (center == nullptr) return std::string("no distributed notification center");
  auto platform = std::make_unique<Platform>();
  // Delivered at once even while the agent is not the frontmost process (it
  // never is): the run loop step of locked() hands it over.
  // Posted to every process of the session when the screen locks (and
  // com.apple.screenIsUnlocked when it unlocks).
  CFNotificationCenterAddObserver(center, platform.get(), on_locked,
                                  CFSTR("com.apple.screenIsLocked"), nullptr,
                                  CFNotificationSuspensionBehaviorDeliverImmediately);
  platform->observing = true;
  return std::make_unique<ScreenLockWatch>(std::move(platform));
}

ScreenLockWatch::ScreenLockWatch(std::unique_ptr<Platform> platform)
    : platform_(std::move(platform)) {}

ScreenLockWatch::~ScreenLockWatch() = default;

// The notifications arrive through the run loop, not on a descriptor of ours.
int ScreenLockWatch::fd() const { return -1; }

bool ScreenLockWatch::locked() {
  // One pass over what the main thread's run loop has pending, without
  // waiting: the accept loop's own wait stays the only one.
  while (CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, true) == kCFRunLoopRunHandledSource) {
  }
  const bool locked = platform_->locked;
  platform_->locked = false;
  return locked;
}

}  // namespace tarnwel
