// The agent as systemd starts it for the first connection: under
// systemd-socket-activate, which listens at the path, hands the socket over
// (LISTEN_PID, LISTEN_FDS, descriptor 3) and becomes the agent, keeping its
// process id.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "support/agent_process.h"

namespace tarnwel::testing {
namespace {

constexpr const char* ACTIVATOR = "/usr/bin/systemd-socket-activate";

// Whether a socket listens at `path`: the file appears at bind, a moment
// before listen, and a client that connects in that moment is refused.
bool listening_at(const std::string& path) {
  std::ifstream table("/proc/net/unix");
  for (std::string line; std::getline(table, line);) {
    // Num RefCount Protocol Flags Type St Inode Path; flag 0x10000 is listening.
    std::istringstream fields(line);
    std::string num, refs, protocol, flags, type, state, inode, name;
    fields >> num >> refs >> protocol >> flags >> type >> state >> inode >> name;
    if (name == path && flags == "00010000") return true;
  }
  return false;
}

// The service manager: the runtime directory as a .socket unit's
// DirectoryMode=0700 makes it, and the activator listening at each of
// `paths`, which hands the agent `environment` and nothing else. Returns
// once every path has a listening socket (or the activator has ended).
AgentProcess& activate(std::optional<AgentProcess>& activator, const std::string& base,
                       const std::vector<std::string>& paths,
                       const std::vector<std::string>& environment) {
  EXPECT_TRUE(std::filesystem::exists(ACTIVATOR)) << "scripts/setup --dev installs systemd";
  const std::string dir = runtime_dir_in(base);
  EXPECT_EQ(::mkdir(dir.c_str(), 0700), 0);
  std::vector<std::string> args;
  for (const std::string& path : paths) args.insert(args.end(), {"-l", path});
  for (const std::string& variable : environment) args.insert(args.end(), {"-E", variable});
  args.emplace_back(TARNWEL_AGENT_BINARY);
  activator.emplace(
      [&](int output) { return spawn(ACTIVATOR, args, environment, -1, output, output); });
  EXPECT_TRUE(wait_until([&] {
    return std::all_of(paths.begin(), paths.end(), listening_at) || !activator->running();
  })) << activator->output();
  return *activator;
}

ino_t inode_of(const std::string& path) {
  const struct stat st = lstat_of(path);
  EXPECT_TRUE(S_ISSOCK(st.st_mode)) << path;
  return st.st_ino;
}

// The agent takes the socket only once a client comes, serves it under the
// activator's pid (so LISTEN_PID was its own), makes it private as its own,
// and on SIGTERM stops as on "shutdown" but leaves the manager's file alone.
TEST(SocketActivationTest, TheFirstClientStartsTheAgentOnTheHandedSocketWhichOutlivesItsTerm) {
  for (const char* wake : {"1", "0"}) {
    SCOPED_TRACE(std::string("TARNWEL_AGENT_WAKE_ON_CONNECT=") + wake);
    TempDir root;
    const std::string path = socket_path_in(root.path());
    std::vector<std::string> environment = agent_environment(root.path(), "");
    environment.push_back(std::string("TARNWEL_AGENT_WAKE_ON_CONNECT=") + wake);
    std::optional<AgentProcess> activator;
    AgentProcess& agent = activate(activator, root.path(), {path}, environment);
    const ino_t made = inode_of(path);
    ASSERT_TRUE(wait_until_serving(agent, path)) << agent.output();
    EXPECT_EQ(mode_of(path), 0600u);

    ASSERT_EQ(::kill(agent.pid(), SIGTERM), 0);
    EXPECT_EQ(agent.wait_for_exit(), 0) << agent.output();
    EXPECT_EQ(inode_of(path), made);
    EXPECT_EQ(agent.output().find("tarnwel-agent:"), std::string::npos) << agent.output();
  }
}

// Variables meant for another process are no hand-over: the agent binds its
// own socket as ever. A hand-over that is plainly wrong stops it with one line.
TEST(SocketActivationTest, AHandOverForAnotherProcessIsIgnoredAndAWrongOneRefused) {
  for (const char* pid : {"1", "not a pid"}) {
    TempDir root;
    std::vector<std::string> environment = agent_environment(root.path(), "");
    environment.insert(environment.end(), {std::string("LISTEN_PID=") + pid, "LISTEN_FDS=1"});
    AgentProcess agent(environment);
    EXPECT_TRUE(wait_until_serving(agent, socket_path_in(root.path()))) << agent.output();
  }
  TempDir root;
  const std::string path = socket_path_in(root.path());
  const std::string elsewhere = runtime_dir_in(root.path()) + "/other.sock";
  const std::pair<std::vector<std::string>, std::string> wrong[] = {
      {{elsewhere},
       "tarnwel-agent: the service manager handed over a socket at \"" + elsewhere +
           "\", but clients look for the agent at " + path + "\n"},
      {{path, elsewhere},
       "tarnwel-agent: the service manager handed over 2 sockets; the agent takes exactly one\n"},
  };
  for (const auto& [paths, refusal] : wrong) {
    std::filesystem::remove_all(runtime_dir_in(root.path()));
    std::optional<AgentProcess> activator;
    AgentProcess& agent =
        activate(activator, root.path(), paths, agent_environment(root.path(), ""));
    const UniqueFd first_client = connect_to(paths.front());
    EXPECT_EQ(agent.wait_for_exit(), 1);
    EXPECT_TRUE(agent.output().ends_with(refusal)) << agent.output();
  }
}

// Clients connect before they start an agent: twenty at once all reach the
// one the activator starts, and none takes its socket over.
TEST(SocketActivationTest, TwentyClientsAtOnceEndWithOneAgent) {
  TempDir root;
  const std::string path = socket_path_in(root.path());
  const std::vector<std::string> environment = agent_environment(root.path(), "");
  std::optional<AgentProcess> activator;
  AgentProcess& agent = activate(activator, root.path(), {path}, environment);
  const ino_t made = inode_of(path);
  std::vector<pid_t> clients;
  for (int i = 0; i < 20; ++i) {
    clients.push_back(spawn(TARNWELCTL_PATH_FOR_CLIENT_TESTS, {"start"}, environment, -1, -1, -1));
  }
  for (const pid_t client : clients) EXPECT_EQ(exit_status_of(client), 0);
  EXPECT_EQ(round_trip(path, PING), ping_reply(agent.pid()));
  EXPECT_EQ(inode_of(path), made);
}

}  // namespace
}  // namespace tarnwel::testing
