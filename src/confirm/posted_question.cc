#include "confirm/posted_question.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "base/os_error.h"
#include "base/unix_socket.h"
#include "base/write_all.h"
#include "confirm/nonce.h"

namespace tarnwel {
namespace {

constexpr std::string_view TEMPORARY_SUFFIX = ".tmp";

Result<Ok, std::string> write_question(const std::string& dir, const Question& question) {
  const std::string temporary = question_file(dir, question.nonce, TEMPORARY_SUFFIX);
  const UniqueFd file(::open(temporary.c_str(),
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file.valid()) return "create " + display_path(temporary) + ": " + os_error_text(errno);
  const bool written = write_all(file.get(), question_text(question));
  const std::string path = question_file(dir, question.nonce, QUESTION_SUFFIX);
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
  const std::string socket = question_file(dir, question.nonce, ANSWER_SUFFIX);
  Result<UniqueFd, SysError> listener = listen_unix(socket);
  if (!listener.ok()) return "listen at " + display_path(socket) + ": " + listener.error().text();
  // From here on the destructor removes whatever was made.
  PostedQuestion posted(dir, std::move(question), std::move(listener).value());
  if (Result<Ok, std::string> written = write_question(dir, posted.question_); !written.ok()) {
    return std::move(written).error();
  }
  return posted;
}

PostedQuestion::PostedQuestion(PostedQuestion&& other) noexcept
    : dir_(std::move(other.dir_)),
      question_(std::move(other.question_)),
      listener_(std::move(other.listener_)) {
  other.question_.nonce.clear();
}

PostedQuestion::~PostedQuestion() { remove_files(); }

void PostedQuestion::remove_files() noexcept {
  if (question_.nonce.empty()) return;
  remove_question_files(dir_, question_.nonce);
  question_.nonce.clear();
}

Result<UniqueFd, PostedQuestion::End> PostedQuestion::next_answerer(const WaitEnds& ends) {
  while (true) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(ends.deadline - MonotonicClock::now());
    if (left.count() <= 0) return End::TimedOut;
    pollfd fds[] = {
        {listener_.get(), POLLIN, 0}, {ends.stop_fd, POLLIN, 0}, {ends.requester_fd, POLLIN, 0}};
    // At most a second per wait: a stop signal whose handler a runtime held
    // back until the next call (ThreadSanitizer defers signals that arrive
    // outside a call it knows to block) is still seen within a second.
    const int ready = ::poll(fds, 3, static_cast<int>(std::min<long long>(left.count(), 1'000)));
    if (ready < 0 && errno != EINTR) return End::Stopped;
    if (ready <= 0) continue;
    if (fds[1].revents != 0) return End::Stopped;
    if (fds[2].revents != 0) return End::RequesterGone;
    UniqueFd link = accept_connection(listener_.get());
    if (!link.valid()) continue;
    const Result<PeerCredentials, SysError> peer = peer_credentials(link.get());
    if (peer.ok() && peer.value().uid == ::getuid()) return link;
  }
}

}  // namespace tarnwel
