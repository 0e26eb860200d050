#include <errno.h>
#include <poll.h>

#include "server/listener_wait.h"

namespace tarnwel {

Result<ListenerWait, SysError> ListenerWait::open(int listener, int stop) {
  return ListenerWait(listener, stop, UniqueFd());
}

ListenerWait::Outcome ListenerWait::wait(std::chrono::milliseconds longest) const {
  pollfd waits[] = {{listener_, POLLIN, 0}, {stop_, POLLIN, 0}};
  const int n = ::poll(waits, 2, static_cast<int>(longest.count()));
  if (n < 0) return errno == EINTR ? Outcome::Ready : Outcome::Failed;  // Ready: look again
  if (n == 0) return Outcome::TimedOut;
  if (waits[1].revents != 0) return Outcome::Stopped;
  if ((waits[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return Outcome::Failed;
  return Outcome::Ready;
}

}  // namespace tarnwel
