// The answering side of a confirmation at a terminal: the questions that wait
// in the confirmation directory, and the answer to one of them.
//
// A question whose asker has ended (killed before it could clean up) is stale:
// it is never listed, and listing removes its files, as it removes a FIFO or
// temporary file that outlived its question by far. An answer goes only to
// the socket of the nonce it is given, and only while its asker listens there.
//
// Thread-safety: functions of no state; any thread.
//
//   for (const Question& q : pending_questions(dir)) ...
//   Result<Ok, std::string> sent = answer_question(dir, q.nonce, true);
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "base/unique_fd.h"
#include "confirm/question.h"

namespace tarnwel {

// The live questions in `dir`, oldest first; none when `dir` does not exist.
// `dir` must have been checked as private by the caller.
std::vector<Question> pending_questions(const std::string& dir);

inline constexpr std::string_view QUESTION_GONE =
    "that question is no longer waiting: it was answered or has timed out";

// Connects to the question `nonce` as its answerer, once its asker takes this
// user's connection. Fails with the reason in words, for instance when the
// question has been answered or has timed out.
Result<UniqueFd, std::string> open_question(const std::string& dir, std::string_view nonce);

// Answers the question `nonce` without a terminal: "y" (`yes`) or "n" to a
// yes/no question, and a refusal (`yes` false) to any other.
Result<Ok, std::string> answer_question(const std::string& dir, std::string_view nonce, bool yes);

}  // namespace tarnwel
