#include "support/fake_askpass.h"

#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include <gtest/gtest.h>

#include "support/agent_process.h"

namespace tarnwel::testing {
namespace {

// The control directory is the program's path with ".d" added. The answer
// file holds the exit status on its first line and the stderr text after it.
// The 10 ms poll is the run waiting for the test's event; the run gives up
// after about a minute so that a crashed test leaves nothing behind.
constexpr std::string_view SCRIPT = R"sh(d="$0.d"
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

void write_file(const std::string& path, std::string_view text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  ASSERT_TRUE(out.flush()) << "cannot write " << path;
}

std::vector<std::string> read_lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace

std::string write_askpass_script(const std::string& dir, std::string_view body) {
  const std::string path = dir + "/askpass";
  write_file(path, "#!/bin/sh\n" + std::string(body) + "\n");
  EXPECT_EQ(::chmod(path.c_str(), 0755), 0) << path;
  return path;
}

FakeAskpass::FakeAskpass(const std::string& dir)
    : program_(write_askpass_script(dir, SCRIPT)), control_dir_(program_ + ".d") {
  EXPECT_EQ(::mkdir(control_dir_.c_str(), 0700), 0) << control_dir_;
}

void FakeAskpass::answer(int status, std::string_view error_text) {
  // Renamed into place, so that a waiting run never reads half an answer.
  const std::string staged = control_dir_ + "/answer.new";
  write_file(staged, std::to_string(status) + "\n" + std::string(error_text));
  ASSERT_EQ(::rename(staged.c_str(), (control_dir_ + "/answer").c_str()), 0);
}

void FakeAskpass::hold() { ASSERT_EQ(::unlink((control_dir_ + "/answer").c_str()), 0); }

std::vector<std::string> FakeAskpass::runs() const { return read_lines(control_dir_ + "/runs"); }

std::vector<std::string> FakeAskpass::requesters() const {
  return read_lines(control_dir_ + "/requesters");
}

bool FakeAskpass::wait_for_runs(std::size_t count) const {
  return wait_until([&] { return runs().size() >= count; });
}

}  // namespace tarnwel::testing
