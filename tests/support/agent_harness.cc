#include "support/agent_harness.h"

#include <sys/mman.h>
#include <unistd.h>

#include "support/socket_pair.h"

namespace tarnwel::client_testing {

CtlResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const std::string& input, const std::vector<std::string>& environment) {
  // The input is a file, not a pipe: a program that exits without reading it
  // (a usage error) must not end the test with SIGPIPE.
  const UniqueFd in(::memfd_create("input", MFD_CLOEXEC));
  EXPECT_EQ(::pwrite(in.get(), input.data(), input.size(), 0), static_cast<ssize_t>(input.size()));
  testing::SocketPair out = testing::make_socket_pair(), err = testing::make_socket_pair();
  const pid_t pid =
      testing::spawn(program, args, environment, in.get(), out.peer.get(), err.peer.get());
  out.peer.reset();
  err.peer.reset();
  // Outputs are far below a socket's buffer, so reading one after the other
  // cannot deadlock; and an agent that kept either stream would hang here.
  CtlResult result{-1, testing::read_all(out.ours.get()), testing::read_all(err.ours.get())};
  result.status = testing::exit_status_of(pid);
  return result;
}

}  // namespace tarnwel::client_testing
