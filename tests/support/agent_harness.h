// Harness for the client tests, on top of the end-to-end one: a fixture with a
// private base directory whose askpass program the test answers (it grants
// until told otherwise), the real agent binary started on it, and tarnwelctl
// or another program run with chosen arguments, input and environment.
//
// Thread-safety: none; each test drives its own objects from one thread.
//
//   TEST_F(SandboxTest, ...) {
//     start_agent(environment());
//     EXPECT_EQ(ctl({"get", "x"}), (CtlResult{1, "", "tarnwelctl: no secret ..."}));
//   }
#pragma once

#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/unix_socket.h"
#include "base/write_all.h"
#include "client/client.h"
#include "support/agent_process.h"
#include "support/fake_askpass.h"
#include "support/socket_pair.h"

namespace tarnwel::client_testing {

struct CtlResult {
  int status = -1;  // the exit status, or -1 when it did not exit normally
  std::string out;
  std::string err;

  bool operator==(const CtlResult&) const = default;
};

inline void PrintTo(const CtlResult& r, std::ostream* os) {
  *os << "status " << r.status << ", out " << ::testing::PrintToString(r.out) << ", err "
      << ::testing::PrintToString(r.err);
}

// A started program whose stdout and stderr the test reads, with a file
// holding `input` on its stdin (a program that exits without reading it, on a
// usage error, must not end the test with SIGPIPE, as a pipe would).
class RunningProgram {
 public:
  // `start` spawns it with the descriptors it is given as its stdin, stdout
  // and stderr, and returns its pid.
  explicit RunningProgram(const std::function<pid_t(int in, int out, int err)>& start,
                          const std::string& input = "") {
    const UniqueFd in(::memfd_create("input", MFD_CLOEXEC));
    EXPECT_EQ(::pwrite(in.get(), input.data(), input.size(), 0),
              static_cast<ssize_t>(input.size()));
    pid_ = start(in.get(), out_.peer.get(), err_.peer.get());
    out_.peer.reset();
    err_.peer.reset();
  }

  pid_t pid() const { return pid_; }
  // What it writes to stderr up to the first `end` (which is kept), or up to
  // the stream's end; see testing::read_until.
  std::string read_err_until(std::string_view end) {
    return testing::read_until(err_.ours.get(), end);
  }
  // Whatever it writes from now on, once it has closed both streams, and its
  // exit status. Outputs are far below a socket's buffer, so reading one after
  // the other cannot deadlock; and a child (an agent) that kept either stream
  // would hang here.
  CtlResult finish() {
    CtlResult result{-1, testing::read_all(out_.ours.get()), testing::read_all(err_.ours.get())};
    result.status = pid_ > 0 ? testing::exit_status_of(pid_) : -1;
    return result;
  }

 private:
  testing::SocketPair out_ = testing::make_socket_pair(), err_ = testing::make_socket_pair();
  pid_t pid_ = -1;
};

// Runs `program` with `args`, `input` on its stdin and exactly `environment`.
inline CtlResult run_program(const std::string& program, const std::vector<std::string>& args,
                             const std::string& input,
                             const std::vector<std::string>& environment) {
  return RunningProgram(
             [&](int in, int out, int err) {
               return testing::spawn(program, args, environment, in, out, err);
             },
             input)
      .finish();
}
inline CtlResult run_ctl(const std::vector<std::string>& args, const std::string& input,
                         const std::vector<std::string>& environment) {
  return run_program(TARNWELCTL_PATH_FOR_CLIENT_TESTS, args, input, environment);
}

// A stand-in for the agent: accepts one connection at `path`, reads the
// request line, then answers with `reply` (possibly nothing) and closes, or
// with `hang` holds the connection open until the client gives up.
class OneShotPeer {
 public:
  OneShotPeer(const std::string& path, std::string reply, bool hang = false)
      : listener_(listen_unix(path).value()), thread_([this, reply = std::move(reply), hang] {
          const UniqueFd conn = accept_connection(listener_.get());
          (void)testing::read_until(conn.get(), "\n");
          if (!hang) (void)write_all(conn.get(), reply);
          if (hang) (void)testing::read_all(conn.get());
        }) {}
  ~OneShotPeer() { thread_.join(); }

 private:
  UniqueFd listener_;
  std::thread thread_;
};

// An agent that tarnwelctl starts in the directory (no child of the test)
// stops by itself once the directory is gone. `client` speaks to the agent
// at the directory's socket, whoever started it.
class SandboxTest : public ::testing::Test {
 protected:
  SandboxTest() { askpass.answer(0); }

  const std::string& dir() const { return root.path(); }
  std::string socket_path() const { return testing::socket_path_in(dir()); }
  // Without the askpass program when `with_askpass` is false.
  std::vector<std::string> environment(bool with_askpass = true) const {
    return testing::agent_environment(dir(), with_askpass ? askpass.program() : "");
  }
  CtlResult ctl(const std::vector<std::string>& args, const std::string& input = "") const {
    return run_ctl(args, input, environment());
  }

  // The agent as a child with `env`, in place of the one started before;
  // serving once this returns. Returns its pid.
  pid_t start_agent(const std::vector<std::string>& env) {
    agent.reset();
    agent.emplace(env);
    testing::wait_until_serving(*agent, socket_path());
    return agent->pid();
  }

  testing::TempDir root;
  testing::FakeAskpass askpass{root.path()};
  std::optional<testing::AgentProcess> agent;
  Client client{socket_path()};
};

}  // namespace tarnwel::client_testing
