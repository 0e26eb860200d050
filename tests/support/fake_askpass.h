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

#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "support/agent_process.h"

namespace tarnwel::testing {
namespace fake_askpass_detail {

// The control directory is the program's path with ".d" added. The answer
// file holds the exit status on its first line and the stderr text after it.
// The 10 ms poll is the run waiting for the test's event; the run gives up
// after about a minute so that a crashed test leaves nothing behind.
inline constexpr std::string_view SCRIPT = R"sh(d="$0.d"
printf '%s %s\n' "$SSH_ASKPASS_PROMPT" "$1" >> "$d/runs"
printf '%s|%s\n' "${TARNWEL_AGENT_REQUESTER_PID-unset}" "${TARNWEL_AGENT_REQUESTER_EXE-unset}" \
  >> "$d/requesters"
i=0
while [ ! -e "$d/answer" ]; do
  [ -d "$d" ] || exit 98
  i=$((i + 1))
  [ "$i" -lt 6000 ] || exit 97
  sleep 0.01
done
tail -n +2 "$d/answer" >&2
exit "$(head -n 1 "$d/answer")"
)sh";

inline void write_file(const std::string& path, std::string_view text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  ASSERT_TRUE(out.flush()) << "cannot write " << path;
}

inline std::vector<std::string> read_lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace fake_askpass_detail

// For tests that need no control over a prompt while it is up: writes
// "#!/bin/sh" and `body` as the program `dir`/askpass (e.g. "exit 0", which
// grants at once), world-readable and executable, so that an agent running as
// another user can run it too. Returns its path.
inline std::string write_askpass_script(const std::string& dir, std::string_view body) {
  const std::string path = dir + "/askpass";
  fake_askpass_detail::write_file(path, "#!/bin/sh\n" + std::string(body) + "\n");
  EXPECT_EQ(::chmod(path.c_str(), 0755), 0) << path;
  return path;
}

class FakeAskpass {
 public:
  // Writes the program and its control directory under `dir`.
  explicit FakeAskpass(const std::string& dir)
      : program_(write_askpass_script(dir, fake_askpass_detail::SCRIPT)),
        control_dir_(program_ + ".d") {
    EXPECT_EQ(::mkdir(control_dir_.c_str(), 0700), 0) << control_dir_;
  }

  const std::string& program() const { return program_; }

  // Ends waiting and later runs with exit `status`, after writing `error_text`
  // to their stderr; renamed into place, so that a waiting run never reads
  // half an answer.
  void answer(int status, std::string_view error_text = "") {
    const std::string staged = control_dir_ + "/answer.new";
    fake_askpass_detail::write_file(staged,
                                    std::to_string(status) + "\n" + std::string(error_text));
    ASSERT_EQ(::rename(staged.c_str(), (control_dir_ + "/answer").c_str()), 0);
  }
  // Makes later runs wait for the next answer again.
  void hold() { ASSERT_EQ(::unlink((control_dir_ + "/answer").c_str()), 0); }

  // One line per run started so far (more for a prompt of several lines).
  std::vector<std::string> runs() const {
    return fake_askpass_detail::read_lines(control_dir_ + "/runs");
  }
  // One "<TARNWEL_AGENT_REQUESTER_PID>|<TARNWEL_AGENT_REQUESTER_EXE>" per run.
  std::vector<std::string> requesters() const {
    return fake_askpass_detail::read_lines(control_dir_ + "/requesters");
  }
  bool wait_for_runs(std::size_t count) const {
    return wait_until([&] { return runs().size() >= count; });
  }

 private:
  std::string program_;
  std::string control_dir_;
};

}  // namespace tarnwel::testing
