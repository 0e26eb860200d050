// PostedQuestion: the asking side of a confirmation at a terminal. It posts a
// question in the confirmation directory and waits for an answerer to connect
// to it; its destructor removes both of its files, however the wait ended, so
// an answerer that comes later finds nothing to reach.
//
// Posting makes the listening socket "<nonce>.answer" before the question
// appears, and writes the question under a temporary name that is then renamed
// into place: a reader never sees half a question, nor a question that cannot
// be answered yet. Only a process of this user is taken as an answerer.
//
// Thread-safety: one thread at a time.
//
//   Result<PostedQuestion, std::string> posted = PostedQuestion::post(dir, question);
//   Result<UniqueFd, PostedQuestion::End> link = posted.value().next_answerer(ends);
#pragma once

#include <string>

#include "base/clock.h"
#include "base/result.h"
#include "base/unique_fd.h"
#include "confirm/conversation.h"
#include "confirm/question.h"

namespace tarnwel {

class PostedQuestion {
 public:
  // Why no answerer came.
  enum class End { Stopped, RequesterGone, TimedOut };

  // Posts `question` in `dir` (a checked private directory) under a fresh
  // nonce, with this process as its asker. Fails with the reason in words.
  static Result<PostedQuestion, std::string> post(const std::string& dir, Question question);

  PostedQuestion(PostedQuestion&& other) noexcept;
  PostedQuestion& operator=(PostedQuestion&&) = delete;
  PostedQuestion(const PostedQuestion&) = delete;
  ~PostedQuestion();

  const Question& question() const { return question_; }

  // Waits for the next answerer of this user to connect, or for one of `ends`.
  Result<UniqueFd, End> next_answerer(const WaitEnds& ends);

  // Removes the question's files at once: answered, it can never be answered again.
  void withdraw() noexcept { remove_files(); }

 private:
  PostedQuestion(std::string dir, Question question, UniqueFd listener)
      : dir_(std::move(dir)), question_(std::move(question)), listener_(std::move(listener)) {}
  void remove_files() noexcept;

  std::string dir_;
  Question question_;
  UniqueFd listener_;
};

}  // namespace tarnwel
