#include "confirm/question_watch.h"

#include <errno.h>
#include <poll.h>

#include <thread>

#include "confirm/pending_questions.h"

namespace tarnwel {

QuestionLook look_at_questions(const std::string& dir) {
  Result<Ok, DirRefusal> checked = check_private_dir(dir);
  if (!checked.ok()) return std::move(checked).error();
  return pending_questions(dir);
}

WatchEnd watch_questions(const std::string& dir, int stop_fd, Instant deadline,
                         const std::function<bool(QuestionLook)>& on_look) {
  while (true) {
    if (!on_look(look_at_questions(dir))) return WatchEnd::Done;
    if (MonotonicClock::now() >= deadline) return WatchEnd::TimedOut;
    // A negative descriptor is passed over: then this only waits.
    pollfd stop{stop_fd, POLLIN, 0};
    const int ready = ::poll(&stop, 1, static_cast<int>(LOOK_INTERVAL.count()));
    if (ready > 0) return WatchEnd::Stopped;
    // An interrupted wait is cut short, not ended; a failed one (never spin)
    // waits its interval all the same.
    if (ready < 0 && errno != EINTR) std::this_thread::sleep_for(LOOK_INTERVAL);
  }
}

}  // namespace tarnwel
