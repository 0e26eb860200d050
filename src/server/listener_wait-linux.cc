#include <errno.h>
#include <sys/epoll.h>

#include "server/listener_wait.h"

namespace tarnwel {

Result<ListenerWait, SysError> ListenerWait::open(int listener, int stop) {
  UniqueFd epoll(::epoll_create1(EPOLL_CLOEXEC));
  if (!epoll.valid()) return SysError{errno};
  // The stop descriptor wakes every waiter; a connection only one.
  epoll_event on_stop{};
  on_stop.events = EPOLLIN;
  on_stop.data.fd = stop;
  epoll_event on_connection{};
  on_connection.events = EPOLLIN | EPOLLEXCLUSIVE;
  on_connection.data.fd = listener;
  if (::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, stop, &on_stop) != 0 ||
      ::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, listener, &on_connection) != 0) {
    return SysError{errno};
  }
  return ListenerWait(listener, stop, std::move(epoll));
}

ListenerWait::Outcome ListenerWait::wait(std::chrono::milliseconds longest) const {
  epoll_event events[2];
  const int n = ::epoll_wait(epoll_.get(), events, 2, static_cast<int>(longest.count()));
  if (n < 0) return errno == EINTR ? Outcome::Ready : Outcome::Failed;  // Ready: look again
  if (n == 0) return Outcome::TimedOut;
  Outcome outcome = Outcome::Ready;
  for (int i = 0; i < n; ++i) {
    if (events[i].data.fd == stop_) return Outcome::Stopped;
    if (events[i].data.fd == listener_ && (events[i].events & (EPOLLERR | EPOLLHUP)) != 0) {
      outcome = Outcome::Failed;
    }
  }
  return outcome;
}

}  // namespace tarnwel
