#include "support/agent_harness.h"

#include <sys/mman.h>
#include <unistd.h>

namespace tarnwel::client_testing {

RunningProgram::RunningProgram(const std::function<pid_t(int in, int out, int err)>& start,
                               const std::string& input) {
  const UniqueFd in(::memfd_create("input", MFD_CLOEXEC));
  EXPECT_EQ(::pwrite(in.get(), input.data(), input.size(), 0), static_cast<ssize_t>(input.size()));
  pid_ = start(in.get(), out_.peer.get(), err_.peer.get());
  out_.peer.reset();
  err_.peer.reset();
}

CtlResult RunningProgram::finish() {
  CtlResult result{-1, testing::read_all(out_.ours.get()), testing::read_all(err_.ours.get())};
  result.status = pid_ > 0 ? testing::exit_status_of(pid_) : -1;
  return result;
}

}  // namespace tarnwel::client_testing
