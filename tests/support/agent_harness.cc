#include "support/agent_harness.h"

#include <unistd.h>

#include <cstdio>
#include <memory>

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
  testing::SocketPair out = testing::make_socket_pair(), err = testing::make_socket_pair();
  const pid_t pid = testing::spawn(program, args, environment, in, out.peer.get(), err.peer.get());
  out.peer.reset();
  err.peer.reset();
  // Outputs are far below a socket's buffer, so reading one after the other
  // cannot deadlock; and an agent that kept either stream would hang here.
  CtlResult result{-1, testing::read_all(out.ours.get()), testing::read_all(err.ours.get())};
  result.status = testing::exit_status_of(pid);
  return result;
}

}  // namespace tarnwel::client_testing
