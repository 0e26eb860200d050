// FakeAskpass: the askpass program the agent runs for its presence checks,
// replaced by a shell script under the test's control. Each run logs one line,
// "<SSH_ASKPASS_PROMPT> <reason>" (and one line "<pid>|<exe>" of its requester
// variables, "unset" for each one it lacks), then waits until the test answers, so a
// test can hold a prompt open for as long as it needs and end it when it says.
// A run also ends (status 98) once its directory is gone, so none outlives the
// test that started it.
//
// Thread-safety: none; one test thread drives it.
//
//   FakeAskpass askpass(root.path());      // runs wait for an answer
//   ... an "unlock" request is sent ...
//   ASSERT_TRUE(askpass.wait_for_runs(1));  // the prompt is up
//   askpass.answer(0);                      // granted
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tarnwel::testing {

// For tests that need no control over a prompt while it is up: writes
// "#!/bin/sh" and `body` as the program `dir`/askpass (e.g. "exit 0", which
// grants at once), world-readable and executable, so that an agent running as
// another user can run it too. Returns its path.
std::string write_askpass_script(const std::string& dir, std::string_view body);

class FakeAskpass {
 public:
  // Writes the program and its control directory under `dir`.
  explicit FakeAskpass(const std::string& dir);

  const std::string& program() const { return program_; }

  // Ends waiting and later runs with exit `status`, after writing `error_text`
  // to their stderr.
  void answer(int status, std::string_view error_text = "");
  // Makes later runs wait for the next answer again.
  void hold();

  // One line per run started so far (more for a prompt of several lines).
  std::vector<std::string> runs() const;
  // One "<TARNWEL_AGENT_REQUESTER_PID>|<TARNWEL_AGENT_REQUESTER_EXE>" per run.
  std::vector<std::string> requesters() const;
  bool wait_for_runs(std::size_t count) const;

 private:
  std::string program_;
  std::string control_dir_;
};

}  // namespace tarnwel::testing
