#include "support/agent_harness.h"

#include <unistd.h>

#include <cstdio>
#include <memory>

#include "base/unique_fd.h"
#include "support/socket_pair.h"

namespace tarnwel::client_testing {

CtlResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const std::string& input, const std::vector<std::string>& environment) {
  // The input is a file, not a pipe: a program that exits without reading it
  // (a usage error) must not end the test with SIGPIPE.
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::tmpfile(), &std::fclose);
  EXPECT_NE(file, nullptr);
  const int in = file ? ::fileno(file.get()) : -1;
  EXPECT_EQ(::write(in, input.data(), input.size()), static_cast<ssize_t>(input.size()));
  ::lseek(in, 0, SEEK_SET);
  testing::set_cloexec(in);
  // pipe, not pipe2, which macOS lacks; each end is closed on exec.
  int out[2], err[2];
  EXPECT_EQ(::pipe(out), 0);
  EXPECT_EQ(::pipe(err), 0);
  for (const int fd : {out[0], out[1], err[0], err[1]}) testing::set_cloexec(fd);
  const pid_t pid = testing::spawn(program, args, environment, in, out[1], err[1]);
  ::close(out[1]);
  ::close(err[1]);
  // Outputs are far below a pipe's buffer, so reading one after the other
  // cannot deadlock; and an agent that kept either stream would hang here.
  const UniqueFd out_r(out[0]), err_r(err[0]);
  CtlResult result{-1, testing::read_all(out_r.get()), testing::read_all(err_r.get())};
  result.status = testing::exit_status_of(pid);
  return result;
}

}  // namespace tarnwel::client_testing
