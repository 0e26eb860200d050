// ConfirmationWatch: while a client waits for the agent to confirm one of its
// requests, it looks out for the question that the project's askpass program
// posts for that request (the one whose requester is this process) and, when
// this process is in the foreground of its terminal, asks it there and sends
// the answer. Without a terminal it says once on standard error what it waits
// for and how to answer it elsewhere ("tarnwelctl confirm"), or, for a caller
// that nobody should hold for an answer that will not come (a helper run from
// a script), answers it "no" at once and says so. In the background of a
// terminal it says that it waits, and asks once the job is brought to the
// foreground, while the question still waits; it never stops the job for its
// terminal's sake.
//
// A question for any other process is never touched. Destroying the watch
// stops it at once, also in the middle of a question, whose answer is then no
// longer wanted (the agent has replied).
//
// Thread-safety: constructed and destroyed on one thread; runs its own.
//
//   {
//     ConfirmationWatch watch("tarnwelctl");
//     reply = client.send(unlock_request);
//   }
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <thread>

#include "base/wake_pipe.h"
#include "confirm/question.h"

namespace tarnwel {

// What a question for this process becomes when it has no terminal.
enum class WithoutTerminal {
  Wait,     // announced: someone may answer it with "tarnwelctl confirm"
  Decline,  // answered "no", with `hint` (what to do instead) on standard error
};

class ConfirmationWatch {
 public:
  // `program` opens the messages on standard error ("tarnwelctl: ...").
  explicit ConfirmationWatch(std::string program, WithoutTerminal without = WithoutTerminal::Wait,
                             std::string hint = "");
  ~ConfirmationWatch();
  ConfirmationWatch(const ConfirmationWatch&) = delete;
  ConfirmationWatch& operator=(const ConfirmationWatch&) = delete;

  // Whether it declined a question (WithoutTerminal::Decline), which it has
  // said on standard error already.
  bool declined() const { return declined_.load(); }

 private:
  void run(const std::string& dir);
  // Without a terminal: announces or declines `question`.
  void without_terminal(const std::string& dir, const Question& question);

  std::string program_;
  WithoutTerminal without_;
  std::string hint_;
  std::atomic<bool> declined_{false};
  std::optional<WakePipe> stop_;
  std::thread thread_;
};

}  // namespace tarnwel
