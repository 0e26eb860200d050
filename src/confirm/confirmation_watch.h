// ConfirmationWatch: while a client waits for the agent to confirm one of its
// requests, it looks out for the question that the project's askpass program
// posts for that request (the one whose requester is this process) and, when
// this process has a terminal, asks it there and sends the answer. Without a
// terminal it says once on standard error what it waits for and how to answer
// it elsewhere ("tarnwelctl confirm").
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

#include <string>
#include <thread>

#include "base/unique_fd.h"

namespace tarnwel {

class ConfirmationWatch {
 public:
  // `program` opens the messages on standard error ("tarnwelctl: ...").
  explicit ConfirmationWatch(std::string program);
  ~ConfirmationWatch();
  ConfirmationWatch(const ConfirmationWatch&) = delete;
  ConfirmationWatch& operator=(const ConfirmationWatch&) = delete;

 private:
  void run(const std::string& dir);

  std::string program_;
  UniqueFd stop_read_;
  UniqueFd stop_write_;
  std::thread thread_;
};

}  // namespace tarnwel
