// PostedQuestion: the asking side of a confirmation at a terminal. It posts a
// question in the confirmation directory and waits for the one answer to it;
// its destructor removes both of its files, however the wait ended, so an
// answer that comes later finds nothing to reach.
//
// Posting opens the FIFO "<nonce>.answer" before the question appears, for
// reading and writing (so that it never reports end of file), and writes the
// question under a temporary name that is then renamed into place: a reader
// never sees half a question, nor a question that cannot be answered yet.
//
// Thread-safety: one thread at a time.
//
//   Result<PostedQuestion, std::string> posted = PostedQuestion::post(dir, question);
//   PostedQuestion::Answer answer = posted.value().wait(stop_fd, pidfd, deadline);
#pragma once

#include <string>

#include "base/clock.h"
#include "base/result.h"
#include "base/unique_fd.h"
#include "confirm/question.h"

namespace tarnwel {

class PostedQuestion {
 public:
  enum class Answer { Yes, No, Stopped, RequesterGone, TimedOut };

  // Posts `question` in `dir` (a checked private directory) under a fresh
  // nonce, with this process as its asker. Fails with the reason in words.
  static Result<PostedQuestion, std::string> post(const std::string& dir, Question question);

  PostedQuestion(PostedQuestion&& other) noexcept;
  PostedQuestion& operator=(PostedQuestion&&) = delete;
  PostedQuestion(const PostedQuestion&) = delete;
  ~PostedQuestion();

  const Question& question() const { return question_; }

  // Waits for the answer: "y" first is Yes, any other byte No. Stopped once
  // `stop_fd` is readable, RequesterGone once `requester_fd` is (a pidfd of
  // the requesting process; -1: none); TimedOut at `deadline`.
  Answer wait(int stop_fd, int requester_fd, Instant deadline);

 private:
  PostedQuestion(std::string dir, Question question, UniqueFd answers)
      : dir_(std::move(dir)), question_(std::move(question)), answers_(std::move(answers)) {}
  void remove_files() noexcept;

  std::string dir_;
  Question question_;
  UniqueFd answers_;
};

}  // namespace tarnwel
