#include "server/connection_threads.h"

#include <errno.h>

#include <utility>

#include "base/detached_thread.h"
#include "base/unix_socket.h"

namespace tarnwel {

using std::chrono::steady_clock;

Result<std::shared_ptr<ConnectionThreads>, SysError> ConnectionThreads::open(
    int listener, const Clock& clock, std::shared_ptr<const WakePipe> loop_waker,
    StreamHandler handler) {
  Result<WakePipe, SysError> stop_waker = WakePipe::open();
  if (!stop_waker.ok()) return stop_waker.error();
  return std::make_shared<ConnectionThreads>(Key(), listener, clock, std::move(loop_waker),
                                             std::move(stop_waker).value(), std::move(handler));
}

ConnectionThreads::ConnectionThreads(Key, int listener, const Clock& clock,
                                     std::shared_ptr<const WakePipe> loop_waker,
                                     WakePipe stop_waker, StreamHandler handler)
    : listener_(listener),
      clock_(clock),
      loop_waker_(std::move(loop_waker)),
      stop_waker_(std::move(stop_waker)),
      handler_(std::move(handler)) {}

void ConnectionThreads::start(UniqueFd stream) {
  // Without a thread the stream is closed already, having gone with the
  // thread's state; the other clients keep being served.
  (void)start_detached([self = shared_from_this(), stream = std::move(stream)]() mutable {
    self->work(std::move(stream));
  });
}

bool ConnectionThreads::main_watches() {
  const MutexLock lock(mutex_);
  main_watches_ = idle_ == 0 && returning_ == 0;
  return main_watches_;
}

Instant ConnectionThreads::last_accept() const {
  return Instant(Instant::duration(last_accept_.load(std::memory_order_relaxed)));
}

void ConnectionThreads::stop() {
  MutexLock lock(mutex_);
  // Set with the lock held, so that whoever holds it next sees it set.
  stopped_.store(true, std::memory_order_relaxed);
  stop_waker_.wake();  // never drained: every later wait on it ends at once
  left_listener_.wait(lock, [this]() TARNWEL_REQUIRES(mutex_) { return idle_ == 0; });
}

void ConnectionThreads::work(UniqueFd first) {
  bool replied = false;
  const std::function<void()> on_replied = [this, &replied] {
    const MutexLock lock(mutex_);
    ++returning_;
    replied = true;
  };
  // Made once the first connection is served, and kept for every later one.
  std::optional<ListenerWait> wait;
  steady_clock::rep taken = 0;
  for (UniqueFd stream = std::move(first); stream.valid();
       stream = next_stream(replied, wait ? &*wait : nullptr, taken)) {
    replied = false;
    handler_(std::move(stream), on_replied);
    if (!wait) {
      Result<ListenerWait, SysError> made = ListenerWait::open(listener_, stop_waker_.read_fd());
      if (made.ok()) wait.emplace(std::move(made).value());
    }
  }
}

UniqueFd ConnectionThreads::next_stream(bool replied, const ListenerWait* wait,
                                        steady_clock::rep& taken) {
  {
    const MutexLock lock(mutex_);
    if (replied) --returning_;
    ++idle_;  // from here until leave_listener(), whichever way this ends
  }
  if (wait == nullptr) {  // nothing to wait with: this thread ends
    leave_listener();
    return UniqueFd();
  }
  steady_clock::time_point until = steady_clock::now() + IDLE_THREAD_LINGER;
  // A thread that has just answered a connection looks for a waiting one at
  // once when another thread has accepted since it did: connections come
  // faster than one thread takes them, and it goes from one to the next with
  // no wait. Alone at the listener, a look would find nothing.
  for (bool ready = last_taken_.load(std::memory_order_relaxed) != taken;
       !stopped_.load(std::memory_order_relaxed);) {
    if (!ready) {
      const steady_clock::time_point now = steady_clock::now();
      if (until <= now) {
        // It ends once no thread has accepted anything for as long: while
        // connections come, an idle thread stays even if another takes them
        // all, so that the one serving is never the last at the listener
        // (which would wake the accept loop for every connection).
        until = steady_clock::time_point(
                    steady_clock::duration(last_taken_.load(std::memory_order_relaxed))) +
                IDLE_THREAD_LINGER;
        if (until <= now) break;
      }
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - now);
      const ListenerWait::Outcome outcome = wait->wait(left);
      if (outcome == ListenerWait::Outcome::TimedOut) continue;  // to the linger's end
      // A listener in error, or a failed wait, goes back to the accept loop,
      // which keeps its default pace until that passes.
      if (outcome != ListenerWait::Outcome::Ready) break;
    }
    ready = false;
    if (stopped_.load(std::memory_order_relaxed)) break;
    UniqueFd stream = accept_one(taken);
    if (stream.valid()) {
      leave_listener();
      return stream;
    }
    // Nothing waiting (taken by another thread, or given up by its client):
    // wait again. A listener whose connections cannot be accepted (out of
    // descriptors, say) goes back to the accept loop.
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNABORTED && errno != EINTR) break;
  }
  leave_listener();
  return UniqueFd();
}

void ConnectionThreads::leave_listener() {
  bool wake_loop = false;
  {
    const MutexLock lock(mutex_);
    --idle_;
    const bool stopped = stopped_.load(std::memory_order_relaxed);
    if (idle_ == 0 && stopped) left_listener_.notify_all();
    // The last one away from the listener, with none on its way back: the
    // loop watches it until a thread is idle again.
    wake_loop = idle_ == 0 && returning_ == 0 && !main_watches_ && !stopped;
    if (wake_loop) main_watches_ = true;
  }
  if (wake_loop) loop_waker_->wake();
}

UniqueFd ConnectionThreads::accept_one(steady_clock::rep& taken) {
  UniqueFd stream = accept_connection(listener_);
  if (stream.valid()) {
    last_accept_.store(clock_.now().time_since_epoch().count(), std::memory_order_relaxed);
    taken = steady_clock::now().time_since_epoch().count();
    last_taken_.store(taken, std::memory_order_relaxed);
  }
  return stream;
}

}  // namespace tarnwel
