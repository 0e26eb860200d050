// ConnectionThreads: with wake-on-connect, the connection threads that stay
// for more. A thread that has answered its connection takes the next one
// itself instead of ending, so that a burst of clients is served without a
// thread started and ended for every request. Each connection still has a
// thread of its own for as long as it is served.
//
// Idle threads wait at the listener together, each in a ListenerWait of its
// own, and a new connection wakes one of them (on Linux; elsewhere all, and
// the first to accept takes it), which accepts it and serves it: nothing is
// handed from thread to thread. A connection held up by its client or by a
// presence prompt keeps only its own thread. When no thread is idle, and none
// that has replied is on its way back, the accept loop watches the listener
// itself (main_watches()) and starts a new thread (start()) for what it
// accepts; a thread that leaves the listener last wakes it for that. Idle
// threads end once no connection has been accepted for IDLE_THREAD_LINGER.
//
// Thread-safety: start(), main_watches(), last_accept() and stop() from the
// accept loop's thread; the rest runs on the threads it starts.
//
//   auto threads = ConnectionThreads::open(listener.get(), clock, idle.waker(), serve_stream);
//   ... poll the listener only when threads.value()->main_watches(); accept; then
//   threads.value()->start(std::move(stream));
//   ... at the end: threads.value()->stop();
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>

#include "base/clock.h"
#include "base/mutex.h"
#include "base/result.h"
#include "base/unique_fd.h"
#include "base/wake_pipe.h"
#include "server/listener_wait.h"

namespace tarnwel {

// How long an idle connection thread waits for a connection before it ends.
inline constexpr std::chrono::seconds IDLE_THREAD_LINGER{1};

class ConnectionThreads : public std::enable_shared_from_this<ConnectionThreads> {
 public:
  // What a thread does with each stream it is given or accepts: admit the
  // peer and answer its request, calling `replied` once the reply is out if
  // nothing that waits is left to do. It must not throw.
  using StreamHandler = std::function<void(UniqueFd stream, const std::function<void()>& replied)>;

  // Threads that accept on the non-blocking `listener`, stamping each accept
  // on `clock`; `loop_waker` ends the accept loop's wait when it must watch
  // the listener again. `listener` and `clock` must outlive stop().
  static Result<std::shared_ptr<ConnectionThreads>, SysError> open(
      int listener, const Clock& clock, std::shared_ptr<const WakePipe> loop_waker,
      StreamHandler handler);

  // Serves `stream` on a new thread, which then stays for more. When no
  // thread can be started the stream is closed.
  void start(UniqueFd stream);

  // Whether the accept loop must watch the listener: no idle thread does.
  // Asked before each wait; when that changes during the wait, the loop is
  // woken.
  bool main_watches();

  // When a thread last accepted a connection; the epoch if none has.
  Instant last_accept() const;

  // Ends every idle thread; returns once none is at the listener, and none
  // will be again. Threads still serving a connection are not waited for.
  void stop();

  // Only open() makes one: the key is out of reach of everyone else.
  class Key {
    friend class ConnectionThreads;
    Key() = default;
  };
  ConnectionThreads(Key, int listener, const Clock& clock,
                    std::shared_ptr<const WakePipe> loop_waker, WakePipe stop_waker,
                    StreamHandler handler);
  ConnectionThreads(const ConnectionThreads&) = delete;
  ConnectionThreads& operator=(const ConnectionThreads&) = delete;

 private:
  void work(UniqueFd first);
  // The next stream for this thread, or none when it is to end; `replied`:
  // the thread said it was on its way back; `taken`: when it last accepted a
  // connection itself, on the steady clock (updated).
  UniqueFd next_stream(bool replied, const ListenerWait* wait,
                       std::chrono::steady_clock::rep& taken);
  // This thread is no longer at the listener; the accept loop is woken when
  // no one else is (nor on the way back).
  void leave_listener();
  UniqueFd accept_one(std::chrono::steady_clock::rep& taken);

  const int listener_;
  const Clock& clock_;
  const std::shared_ptr<const WakePipe> loop_waker_;
  const WakePipe stop_waker_;  // ends every idle thread's wait at stop()
  const StreamHandler handler_;

  mutable Mutex mutex_;
  CondVar left_listener_;
  std::size_t idle_ TARNWEL_GUARDED_BY(mutex_) = 0;       // threads at the listener
  std::size_t returning_ TARNWEL_GUARDED_BY(mutex_) = 0;  // replied, on their way back
  bool main_watches_ TARNWEL_GUARDED_BY(mutex_) = true;
  std::atomic<bool> stopped_{false};  // stop() has been called
  std::atomic<Instant::rep> last_accept_{0};
  // When a thread last accepted, on the steady clock: what idle threads linger by.
  std::atomic<std::chrono::steady_clock::rep> last_taken_{0};
};

}  // namespace tarnwel
