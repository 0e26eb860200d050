#include "confirm/posted_question.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "base/os_error.h"
#include "base/write_all.h"
#include "confirm/nonce.h"

namespace tarnwel {
namespace {

constexpr std::string_view TEMPORARY_SUFFIX = ".tmp";

std::string file_in(const std::string& dir, std::string_view nonce, std::string_view suffix) {
  std::string path = dir;
  path.append("/").append(nonce).append(suffix);
  return path;
}

Result<Ok, std::string> write_question(const std::string& dir, const Question& question) {
  const std::string temporary = file_in(dir, question.nonce, TEMPORARY_SUFFIX);
  const UniqueFd file(::open(temporary.c_str(),
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file.valid()) return "create " + display_path(temporary) + ": " + os_error_text(errno);
  const bool written = write_all(file.get(), question_text(question));
  const std::string path = file_in(dir, question.nonce, QUESTION_SUFFIX);
  if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
    const int err = errno;
    ::unlink(temporary.c_str());
    return "post " + display_path(path) + ": " + os_error_text(err);
  }
  return Ok{};
}

}  // namespace

Result<PostedQuestion, std::string> PostedQuestion::post(const std::string& dir,
                                                         Question question) {
  Result<std::string, SysError> nonce = random_nonce();
  if (!nonce.ok()) return "getentropy: " + nonce.error().text();
  question.nonce = std::move(nonce).value();
  question.asker = ::getpid();
  const std::string fifo = file_in(dir, question.nonce, ANSWER_SUFFIX);
  if (::mkfifo(fifo.c_str(), 0600) != 0) {
    return "mkfifo " + display_path(fifo) + ": " + os_error_text(errno);
  }
  UniqueFd answers(::open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  // From here on the destructor removes whatever was made.
  PostedQuestion posted(dir, std::move(question), std::move(answers));
  if (!posted.answers_.valid()) return "open " + display_path(fifo) + ": " + os_error_text(errno);
  if (Result<Ok, std::string> written = write_question(dir, posted.question_); !written.ok()) {
    return std::move(written).error();
  }
  return posted;
}

PostedQuestion::PostedQuestion(PostedQuestion&& other) noexcept
    : dir_(std::move(other.dir_)),
      question_(std::move(other.question_)),
      answers_(std::move(other.answers_)) {
  other.question_.nonce.clear();
}

PostedQuestion::~PostedQuestion() { remove_files(); }

void PostedQuestion::remove_files() noexcept {
  if (question_.nonce.empty()) return;
  // The question first: nobody is shown it once its answer cannot be taken.
  ::unlink(file_in(dir_, question_.nonce, QUESTION_SUFFIX).c_str());
  ::unlink(file_in(dir_, question_.nonce, ANSWER_SUFFIX).c_str());
  question_.nonce.clear();
}

PostedQuestion::Answer PostedQuestion::wait(int stop_fd, int requester_fd, Instant deadline) {
  while (true) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - MonotonicClock::now());
    if (left.count() <= 0) return Answer::TimedOut;
    pollfd fds[] = {{answers_.get(), POLLIN, 0}, {stop_fd, POLLIN, 0}, {requester_fd, POLLIN, 0}};
    // At most a second per wait: a stop signal whose handler a runtime held
    // back until the next call (ThreadSanitizer defers signals that arrive
    // outside a call it knows to block) is still seen within a second.
    const int ready = ::poll(fds, requester_fd >= 0 ? 3 : 2,
                             static_cast<int>(std::min<long long>(left.count(), 1'000)));
    if (ready < 0 && errno != EINTR) return Answer::Stopped;
    if (ready <= 0) continue;
    if (fds[1].revents != 0) return Answer::Stopped;
    if (requester_fd >= 0 && fds[2].revents != 0) return Answer::RequesterGone;
    char byte = 0;
    const ssize_t n = ::read(answers_.get(), &byte, 1);
    if (n == 1) {
      // Answered: the question goes at once, so that it cannot be answered again.
      remove_files();
      return byte == 'y' ? Answer::Yes : Answer::No;
    }
  }
}

}  // namespace tarnwel
