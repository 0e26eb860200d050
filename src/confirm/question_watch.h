// watch_questions: the one loop that waits for questions in the confirmation
// directory. It looks at once and then every LOOK_INTERVAL, and hands each
// look to its caller, until the caller has seen enough, `stop_fd` turns
// readable or `deadline` passes. Each look is taken anew: a question answered
// elsewhere, timed out or withdrawn meanwhile is no longer in it.
// look_at_questions takes one such look, without a wait.
//
// Thread-safety: a function of no state; any thread.
//
//   watch_questions(dir, stop_fd, Instant::max(), [&](QuestionLook look) {
//     return !look.ok() || look.value().empty();  // true: look again
//   });
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/result.h"
#include "confirm/question.h"
#include "paths/runtime_dir.h"

namespace tarnwel {

// How often the directory is looked at: a question shows up this much later
// at most, and looking costs one directory read.
inline constexpr std::chrono::milliseconds LOOK_INTERVAL{100};

// The questions waiting in the directory, oldest first, or why it was not
// read (DirRefusal::missing when it does not exist yet).
using QuestionLook = Result<std::vector<Question>, DirRefusal>;

// One look at `dir`, as the watch takes each.
QuestionLook look_at_questions(const std::string& dir);

enum class WatchEnd {
  Done,      // `on_look` returned false
  Stopped,   // `stop_fd` turned readable
  TimedOut,  // `deadline` passed
};

// `on_look` returns whether to look again. `stop_fd` may be -1: none.
WatchEnd watch_questions(const std::string& dir, int stop_fd, Instant deadline,
                         const std::function<bool(QuestionLook)>& on_look);

}  // namespace tarnwel
