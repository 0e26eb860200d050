// Mutex and MutexLock: std::mutex with Clang thread-safety annotations, so that
// -Wthread-safety checks every TARNWEL_GUARDED_BY field. CondVar waits on a MutexLock.
//
//   Mutex mu_;
//   std::map<std::string, Entry> entries_ TARNWEL_GUARDED_BY(mu_);
//   ...
//   MutexLock lock(mu_);
//   entries_.clear();
#pragma once

#include <condition_variable>
#include <mutex>

#include "base/thread_annotations.h"

namespace tarnwel {

class TARNWEL_CAPABILITY("mutex") Mutex {
 public:
  void lock() TARNWEL_ACQUIRE() { mu_.lock(); }
  void unlock() TARNWEL_RELEASE() { mu_.unlock(); }
  bool try_lock() TARNWEL_TRY_ACQUIRE(true) { return mu_.try_lock(); }

 private:
  friend class CondVar;
  std::mutex mu_;
};

class TARNWEL_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mu) TARNWEL_ACQUIRE(mu) : mu_(mu) { mu_.lock(); }
  ~MutexLock() TARNWEL_RELEASE() { mu_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  friend class CondVar;
  Mutex& mu_;
};

// A condition variable bound to a Mutex held through a MutexLock.
class CondVar {
 public:
  // Waits until `done()` holds; the lock is held whenever `done` runs.
  template <class Pred>
  void wait(MutexLock& lock, Pred done) {
    std::unique_lock<std::mutex> native(lock.mu_.mu_, std::adopt_lock);
    cv_.wait(native, done);
    native.release();
  }
  // As wait, but gives up at `deadline`; returns whether `done()` holds.
  template <class TimePoint, class Pred>
  bool wait_until(MutexLock& lock, const TimePoint& deadline, Pred done) {
    std::unique_lock<std::mutex> native(lock.mu_.mu_, std::adopt_lock);
    bool result = cv_.wait_until(native, deadline, done);
    native.release();
    return result;
  }
  void notify_all() { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
};

}  // namespace tarnwel
