#include "server/accept_wait.h"

#include <errno.h>
#include <poll.h>

#include <algorithm>
#include <thread>

namespace tarnwel {

Result<AcceptWait, SysError> AcceptWait::on_readiness(int listener) {
  Result<WakePipe, SysError> pipe = WakePipe::open();
  if (!pipe.ok()) return pipe.error();
  return AcceptWait(listener, std::make_shared<const WakePipe>(std::move(pipe).value()));
}

WaitEnd AcceptWait::wait(std::chrono::nanoseconds longest, bool listener, int news) const {
  if (pipe_ == nullptr) {
    std::this_thread::sleep_for(ACCEPT_POLL_INTERVAL);
    return WaitEnd::Time;
  }
  longest =
      std::clamp<std::chrono::nanoseconds>(longest, std::chrono::nanoseconds(0), LONGEST_IDLE_WAIT);
  // Whole milliseconds, rounded up: waking just before a deadline would only
  // find nothing due yet and wait again.
  const auto timeout = std::chrono::ceil<std::chrono::milliseconds>(longest);
  // A negative descriptor is left out by poll(), and keeps the call's shape.
  pollfd waits[] = {
      {listener ? listener_ : -1, POLLIN, 0}, {pipe_->read_fd(), POLLIN, 0}, {news, POLLIN, 0}};
  const nfds_t count = news >= 0 ? 3 : 2;
  const bool failed = ::poll(waits, count, static_cast<int>(timeout.count())) < 0 && errno != EINTR;
  if (waits[1].revents != 0) pipe_->drain();
  // Whatever ended the wait, the loop looks at everything again at its next
  // turn. A failing poll, or a listener in error, would end every wait at
  // once: the loop then keeps the default pace instead of spinning.
  if (failed || (waits[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
    std::this_thread::sleep_for(ACCEPT_POLL_INTERVAL);
    return WaitEnd::Time;
  }
  if (waits[1].revents != 0 || waits[2].revents != 0) return WaitEnd::Wake;
  return waits[0].revents != 0 ? WaitEnd::Connection : WaitEnd::Time;
}

}  // namespace tarnwel
