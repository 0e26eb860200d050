// Another user who gets to the socket path first: under /tmp anyone may
// create the caller's runtime directory before the caller's agent does, and
// listen there for what clients send. No client command sends such a
// listener a byte.
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "base/unix_socket.h"
#include "support/agent_harness.h"
#include "support/agent_process.h"
#include "support/needs_root.h"

namespace tarnwel::testing {
namespace {

constexpr uid_t STRANGER = 47'314;
constexpr int GOT_BYTES = 100;

// A listener at `path` that clients see as the stranger's: the peer's
// credentials are those of whoever called listen(), here the test with the
// stranger's uid as its effective one. Connections wait in its backlog,
// where the test looks at them once every client is done.
UniqueFd listen_as_stranger(const std::string& path) {
  EXPECT_EQ(::seteuid(STRANGER), 0);
  Result<UniqueFd, SysError> listener = listen_unix(path);
  EXPECT_EQ(::seteuid(0), 0);
  if (!listener.ok()) ADD_FAILURE() << "listen at " << path;
  return listener.ok() ? std::move(listener).value() : UniqueFd();
}

// The verdict on what clients left at `listener`: the connections waiting
// there, or GOT_BYTES once any of them holds a byte.
int verdict(const UniqueFd& listener) {
  int connections = 0;
  pollfd waiting{listener.get(), POLLIN, 0};
  while (::poll(&waiting, 1, 0) == 1) {
    const UniqueFd stream = accept_connection(listener.get());
    char byte = 0;
    if (::recv(stream.get(), &byte, 1, MSG_DONTWAIT) == 1) return GOT_BYTES;
    ++connections;
  }
  return connections;
}

// Every command that talks to an agent, each of which must end with status 6
// and name the socket path.
void expect_every_command_refused(const std::vector<std::string>& environment,
                                  const std::string& socket, const std::string& why) {
  const std::vector<std::vector<std::string>> commands = {
      {"unlock", "p", "--reason", "r"},
      {"unlock", "p", "--reason", "r", "--no-start"},
      {"get", "p"},
      {"status"},
      {"lock"},
      {"lock", "p"},
      {"ping"},
      {"start"},
      {"--json", "status"}};
  for (const std::vector<std::string>& command : commands) {
    EXPECT_EQ(
        client_testing::run_ctl(command, command[0] == "unlock" ? "s3cret\n" : "", environment),
        (client_testing::CtlResult{
            6, "", "tarnwelctl: refusing to talk to " + socket + ": " + why + "\n"}))
        << ::testing::PrintToString(command);
  }
}

TEST(StrangerSocketTest, NoClientEntersADirectoryOfAnotherUserOrSendsItsListenerAByte) {
  SKIP_UNLESS_ROOT("acts as a second user");
  TempDir base;
  ASSERT_EQ(::chmod(base.path().c_str(), 0711), 0);
  // Where every client of this user looks for the agent.
  const std::string dir = runtime_dir_in(base.path());
  const std::string socket = socket_path_in(base.path());
  const std::vector<std::string> environment = agent_environment(base.path(), "");
  const std::string own = base.path() + "/stranger";
  for (const std::string& made : {dir, own}) {
    ASSERT_EQ(::mkdir(made.c_str(), 0700), 0);
    ASSERT_EQ(::chown(made.c_str(), STRANGER, STRANGER), 0);
  }

  const UniqueFd in_dir = listen_as_stranger(socket);
  // The way out is named along with the owner, who has no name here.
  const std::string way_out =
      ": use a private directory instead, by setting TARNWEL_AGENT_RUNTIME_DIR to a directory of "
      "your own or in a login session that sets XDG_RUNTIME_DIR";
  expect_every_command_refused(environment, socket,
                               dir + " is owned by uid " + std::to_string(STRANGER) +
                                   ", not this process's uid " + std::to_string(::getuid()) +
                                   "; it belongs to uid " + std::to_string(STRANGER) +
                                   ", which has no user name" + way_out);
  // Not even a connection, and the directory is still the stranger's.
  EXPECT_EQ(verdict(in_dir), 0);
  EXPECT_EQ(lstat_of(dir).st_uid, STRANGER);
  EXPECT_EQ(mode_of(dir), 0700u);

  if (const passwd* nobody = ::getpwnam("nobody"); nobody != nullptr) {
    ASSERT_EQ(::chown(dir.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    EXPECT_NE(client_testing::run_ctl({"ping"}, "", environment)
                  .err.find("; it belongs to user nobody" + way_out + "\n"),
              std::string::npos);
  }

  // Now the directory is ours. The stranger binds in a directory of its own;
  // the socket then moves into ours, as a rename by anyone with write access
  // to both would put it.
  ASSERT_EQ(::unlink(socket.c_str()), 0);
  ASSERT_EQ(::chown(dir.c_str(), ::getuid(), ::getgid()), 0);
  const UniqueFd in_own = listen_as_stranger(own + "/agent.sock");
  ASSERT_EQ(::rename((own + "/agent.sock").c_str(), socket.c_str()), 0);
  expect_every_command_refused(environment, socket,
                               "the process listening there runs as uid " +
                                   std::to_string(STRANGER) + ", not as this user's uid " +
                                   std::to_string(::getuid()));
  const int left = verdict(in_own);
  EXPECT_NE(left, GOT_BYTES) << "a client sent the stranger its request";
  EXPECT_GT(left, 0) << "no client got as far as connecting";
}

}  // namespace
}  // namespace tarnwel::testing
