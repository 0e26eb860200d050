#include "server/connection_threads.h"

#include <errno.h>
#include <poll.h>

#include <system_error>
#include <thread>
#include <utility>

#include "base/unix_socket.h"

namespace tarnwel {

using std::chrono::steady_clock;

Result<std::shared_ptr<ConnectionThreads>, SysError> ConnectionThreads::open(
    int listener, const Clock& clock, std::shared_ptr<const WakePipe> loop_waker,
    StreamHandler handler) {
  Result<WakePipe, SysError> turn_waker = WakePipe::open();
  if (!turn_waker.ok()) return turn_waker.error();
  return std::make_shared<ConnectionThreads>(Key(), listener, clock, std::move(loop_waker),
                                             std::move(turn_waker).value(), std::move(handler));
}

ConnectionThreads::ConnectionThreads(Key, int listener, const Clock& clock,
                                     std::shared_ptr<const WakePipe> loop_waker,
                                     WakePipe turn_waker, StreamHandler handler)
    : listener_(listener),
      clock_(clock),
      loop_waker_(std::move(loop_waker)),
      turn_waker_(std::move(turn_waker)),
      handler_(std::move(handler)) {}

void ConnectionThreads::start(UniqueFd stream) {
  try {
    // Detached: nobody waits for a connection thread.
    std::thread([self = shared_from_this(), stream = std::move(stream)]() mutable {
      self->work(std::move(stream));
    }).detach();
  } catch (const std::system_error&) {
    // No thread could be started: the stream went with the failed thread's
    // state and is closed already; the other clients keep being served.
  }
}

bool ConnectionThreads::main_watches() {
  const std::lock_guard lock(mutex_);
  main_watches_ = !leader_ && turns_given_ == 0 && kept_ == 0;
  return main_watches_;
}

Instant ConnectionThreads::last_accept() const {
  return Instant(Instant::duration(last_accept_.load(std::memory_order_relaxed)));
}

void ConnectionThreads::stop() {
  std::unique_lock lock(mutex_);
  stopping_ = true;
  turn_.notify_all();
  turn_waker_.wake();  // never drained: every later wait on it ends at once
  left_listener_.wait(lock, [this] { return at_listener_ == 0; });
}

void ConnectionThreads::work(UniqueFd first) {
  bool replied = false;
  const std::function<void()> on_replied = [this, &replied] {
    const std::lock_guard lock(mutex_);
    ++returning_;
    replied = true;
  };
  for (UniqueFd stream = std::move(first); stream.valid(); stream = next_stream(replied)) {
    replied = false;
    handler_(std::move(stream), on_replied);
  }
}

UniqueFd ConnectionThreads::next_stream(bool replied) {
  const steady_clock::time_point until = steady_clock::now() + IDLE_THREAD_LINGER;
  // A thread that has just answered a connection, and finds no leader, looks
  // for a waiting connection at once: under load it goes from one connection
  // to the next with no wait. A thread whose turn has come polls first: the
  // leader before it has just taken what was waiting.
  bool accept_first = true;
  std::unique_lock lock(mutex_);
  if (replied) {
    --returning_;
    // A turn kept for a thread on its way back: this one takes it (it leads
    // below, unless a leader has come meanwhile).
    if (kept_ > 0) --kept_;
  }
  while (!stopping_) {
    if (!leader_) {
      if (turns_given_ > 0) --turns_given_;  // a waiting thread's, taken by one awake
      leader_ = true;
      ++at_listener_;
      lock.unlock();
      UniqueFd stream = lead(until, accept_first);
      lock.lock();
      leader_ = false;
      leave_listener();
      const Successor next = successor();
      // Told with the lock released, so that whoever is woken does not block
      // on it at once.
      lock.unlock();
      if (next == Successor::WaitingThread) turn_.notify_one();
      if (next == Successor::AcceptLoop) loop_waker_->wake();
      return stream;  // none: the linger is over, or stop(), or the listener failed
    }
    ++waiting_;
    const bool turn =
        turn_.wait_until(lock, until, [this] { return turns_given_ > 0 || stopping_; });
    --waiting_;
    if (!turn || stopping_) break;
    --turns_given_;
    accept_first = false;
  }
  return UniqueFd();
}

UniqueFd ConnectionThreads::lead(steady_clock::time_point until, bool accept_first) {
  for (bool ready = accept_first;; ready = false) {
    if (!ready) {
      const steady_clock::duration left = until - steady_clock::now();
      if (left <= steady_clock::duration::zero()) return UniqueFd();
      pollfd waits[] = {{listener_, POLLIN, 0}, {turn_waker_.read_fd(), POLLIN, 0}};
      const auto timeout = std::chrono::ceil<std::chrono::milliseconds>(left);
      if (::poll(waits, 2, static_cast<int>(timeout.count())) < 0 && errno != EINTR) {
        return UniqueFd();
      }
      if (waits[1].revents != 0) return UniqueFd();
      // A listener in error, or one whose connections cannot be accepted (out
      // of descriptors, say), goes back to the accept loop, which keeps its
      // default pace until that passes.
      if ((waits[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return UniqueFd();
      if (waits[0].revents == 0) continue;
    }
    UniqueFd stream = accept_one();
    if (stream.valid()) return stream;
    // Nothing waiting, taken by a thread that had just answered its own, or
    // given up by the client: wait again.
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNABORTED && errno != EINTR) {
      return UniqueFd();
    }
  }
}

UniqueFd ConnectionThreads::accept_one() {
  UniqueFd stream = accept_connection(listener_);
  if (stream.valid()) {
    last_accept_.store(clock_.now().time_since_epoch().count(), std::memory_order_relaxed);
  }
  return stream;
}

ConnectionThreads::Successor ConnectionThreads::successor() {
  if (waiting_ > turns_given_) {
    ++turns_given_;
    return Successor::WaitingThread;
  }
  // One that has replied is back in a moment: the connection that comes
  // meanwhile waits for it no longer than that, and the loop sleeps on.
  if (returning_ > kept_) {
    ++kept_;
    return Successor::None;
  }
  return main_watches_ ? Successor::None : Successor::AcceptLoop;
}

void ConnectionThreads::leave_listener() {
  if (--at_listener_ == 0 && stopping_) left_listener_.notify_all();
}

}  // namespace tarnwel
