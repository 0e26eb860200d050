// ConnectionThreads: with wake-on-connect, the connection threads that stay
// for more. A thread that has answered its connection takes the next one
// itself instead of ending, so that a burst of clients is served without a
// thread started and ended for every request. Each connection still has a
// thread of its own for as long as it is served.
//
// Idle threads take turns at the listener: one of them (the leader) waits in
// poll() on it and accepts; the others wait for their turn. A leader that has
// accepted hands its turn on before it serves, so that a connection held up
// by its client or by a presence prompt keeps no one else waiting. When no
// thread is idle the accept loop watches the listener itself (main_watches()),
// and starts a new thread (start()) for what it accepts. An idle thread that
// has had nothing to do for IDLE_THREAD_LINGER ends.
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
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>

#include "base/clock.h"
#include "base/result.h"
#include "base/unique_fd.h"
#include "base/wake_pipe.h"

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
                    std::shared_ptr<const WakePipe> loop_waker, WakePipe turn_waker,
                    StreamHandler handler);
  ConnectionThreads(const ConnectionThreads&) = delete;
  ConnectionThreads& operator=(const ConnectionThreads&) = delete;

 private:
  void work(UniqueFd first);
  // The next stream for this thread, or none when it is to end; `replied`:
  // the thread said it was on its way back.
  UniqueFd next_stream(bool replied);
  // As the leader: waits on the listener (or, with `accept_first`, first
  // accepts what is waiting) until a connection is accepted, `until` has
  // passed, stop() is called or the listener fails.
  UniqueFd lead(std::chrono::steady_clock::time_point until, bool accept_first);
  UniqueFd accept_one();
  // Who watches the listener once the leader has left it: a waiting thread
  // (its turn is given here), a thread on its way back (the turn is kept for
  // it), the accept loop (which must be woken), or the accept loop already.
  // With the lock held, as for leave_listener().
  enum class Successor { WaitingThread, AcceptLoop, None };
  Successor successor();
  void leave_listener();

  const int listener_;
  const Clock& clock_;
  const std::shared_ptr<const WakePipe> loop_waker_;
  const WakePipe turn_waker_;  // ends the leader's wait at stop()
  const StreamHandler handler_;

  mutable std::mutex mutex_;
  std::condition_variable turn_;  // a waiting thread's turn has come, or stop()
  std::condition_variable left_listener_;
  bool leader_ = false;
  std::size_t waiting_ = 0;      // idle threads waiting for their turn
  std::size_t turns_given_ = 0;  // turns handed on and not yet taken
  // Threads that have replied and are on their way back, and the turns kept
  // for them: the first to come back watches the listener.
  std::size_t returning_ = 0;
  std::size_t kept_ = 0;
  std::size_t at_listener_ = 0;  // threads in a call on the listener
  bool main_watches_ = true;
  bool stopping_ = false;
  std::atomic<Instant::rep> last_accept_{0};
};

}  // namespace tarnwel
