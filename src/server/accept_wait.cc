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

UniqueFd AcceptWait::accept() {
  if (polls() && last_ != Last::Connection) return UniqueFd();
  UniqueFd stream = accept_connection(listener_);
  // Accepted, or seen and gone (another thread accepted it, or its client
  // gave up): on as after a wake, the next wait tells whether another is
  // pending. Any other failure is not worth a word either.
  const bool gone =
      stream.valid() || errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED;
  last_ = gone ? Last::Busy : Last::Stale;
  return stream;
}

void AcceptWait::wait(std::chrono::nanoseconds duty, bool listener, int news) {
  if (!polls() || last_ == Last::Stale) {
    std::this_thread::sleep_for(ACCEPT_POLL_INTERVAL);
    last_ = Last::Nothing;
    return;
  }
  last_ = poll_once(duty, listener, news);
}

AcceptWait::Last AcceptWait::poll_once(std::chrono::nanoseconds duty, bool listener,
                                       int news) const {
  duty = std::clamp<std::chrono::nanoseconds>(duty, std::chrono::nanoseconds(0), LONGEST_IDLE_WAIT);
  // Whole milliseconds, rounded up: waking just before a deadline would only
  // find nothing due yet and wait again.
  const auto timeout = std::chrono::ceil<std::chrono::milliseconds>(duty);
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
    return Last::Nothing;
  }
  if (waits[1].revents != 0 || waits[2].revents != 0) return Last::Busy;
  return waits[0].revents != 0 ? Last::Connection : Last::Nothing;
}

}  // namespace tarnwel
