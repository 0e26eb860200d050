// The answering side of a confirmation at a terminal: the questions that wait
// in the confirmation directory, and the answer to one of them.
//
// A question whose asker has ended (killed before it could clean up) is stale:
// it is never listed, and listing removes its files, as it removes a FIFO or
// temporary file that outlived its question by far. An answer goes only into
// the FIFO of the nonce it is given, and only while its asker waits there.
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
#include "confirm/question.h"

namespace tarnwel {

// The live questions in `dir`, oldest first; none when `dir` does not exist.
// `dir` must have been checked as private by the caller.
std::vector<Question> pending_questions(const std::string& dir);

// Sends "y" (`yes`) or "n" to the question `nonce`. Fails with the reason in
// words, for instance when the question has been answered or has timed out.
Result<Ok, std::string> answer_question(const std::string& dir, std::string_view nonce, bool yes);

}  // namespace tarnwel
