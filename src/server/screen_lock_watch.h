// ScreenLockWatch: tells the accept loop that the user's screen has locked,
// so that the agent forgets every secret (TARNWEL_AGENT_LOCK_ON_SCREEN_LOCK).
// On Linux it listens on the system bus to logind's session of this process
// (XDG_SESSION_ID, else the session logind finds for it, else the user's
// graphical session, for an agent that the user's service manager started):
// the session's Lock signal, and its LockedHint property turning true. On macOS it observes
// com.apple.screenIsLocked on the distributed notification center. It starts
// no thread: the loop waits on fd() beside its listener, or calls locked()
// once a turn, and locked() reads what has arrived without blocking.
//
// Thread-safety: the accept loop's thread only.
//
//   Result<std::unique_ptr<ScreenLockWatch>, std::string> watch = ScreenLockWatch::start();
//   if (!watch.ok()) diagnose(watch.error());   // and serve without it
//   ... each turn: if (watch.value()->locked()) cache->lock_all();
#pragma once

#include <memory>
#include <string>

#include "base/result.h"

namespace tarnwel {

class ScreenLockWatch {
 public:
  struct Platform;  // the platform's connection, with what it has seen

  // Watching from now on, or why nothing can be watched (no bus, no session).
  static Result<std::unique_ptr<ScreenLockWatch>, std::string> start();
  explicit ScreenLockWatch(std::unique_ptr<Platform> platform);
  ~ScreenLockWatch();
  ScreenLockWatch(const ScreenLockWatch&) = delete;
  ScreenLockWatch& operator=(const ScreenLockWatch&) = delete;

  // Readable when news may have come; -1 when there is nothing to wait on
  // (the loop then asks at each turn) or the watch has been lost.
  int fd() const;
  // Whether the screen has locked since the last call, from what has arrived.
  // A lost connection says so once, on standard error, and locks no more.
  bool locked();

 private:
  std::unique_ptr<Platform> platform_;
};

}  // namespace tarnwel
