// Start-up of the real agent: taking a free path, deferring to a live agent,
// taking over stale, foreign and silent sockets, and refusing unusable paths.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "support/agent_process.h"

namespace tarnwel::testing {
namespace {

struct stat lstat_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path << ": " << std::strerror(errno);
  return st;
}

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

std::string could_not_bind(const std::string& path, std::string_view error) {
  return "tarnwel-agent: could not bind " + path + ": " + std::string(error) + "\n";
}

// Stands in for a peer at the agent's socket path that is not an agent of
// this protocol version: it listens there until the test lets go.
class FakePeer {
 public:
  explicit FakePeer(const std::string& path) : path_(path) {
    EXPECT_EQ(::mkdir(runtime_dir_of(path).c_str(), 0700), 0);
    listener_ = new_stream_socket();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    EXPECT_EQ(::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address),
              0);
    EXPECT_EQ(::listen(listener_.get(), 8), 0);
  }

  // The next connection, or an invalid fd if none comes within the limit.
  UniqueFd accept_one() {
    pollfd ready{listener_.get(), POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(EVENT_LIMIT.count())) != 1) return UniqueFd();
    UniqueFd stream(::accept(listener_.get(), nullptr, nullptr));
    if (stream.valid()) set_cloexec(stream.get());
    // Bounded reads: an agent that never writes fails the test, not hangs it.
    const timeval limit{std::chrono::duration_cast<std::chrono::seconds>(EVENT_LIMIT).count(), 0};
    ::setsockopt(stream.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return stream;
  }

  // Stops listening; the socket file stays unless `unlink_socket`.
  void close_listener(bool unlink_socket) {
    listener_.reset();
    if (unlink_socket) ::unlink(path_.c_str());
  }

 private:
  static std::string runtime_dir_of(const std::string& path) {
    return path.substr(0, path.rfind('/'));
  }

  std::string path_;
  UniqueFd listener_;
};

// Reads one line, up to and including its newline.
std::string read_line(int fd) {
  std::string line;
  char c = 0;
  while (::read(fd, &c, 1) == 1) {
    line += c;
    if (c == '\n') break;
  }
  return line;
}

TEST(E2eStartupTest, BindsAFreePathPrivatelyAndASecondAgentDefersToIt) {
  TempDir root;
  const std::string path = socket_path_in(root.path());
  AgentProcess first(agent_environment(root.path(), ""));
  ASSERT_TRUE(wait_until_serving(first, path)) << first.output();

  const struct stat socket = lstat_of(path);
  EXPECT_TRUE(S_ISSOCK(socket.st_mode));
  EXPECT_EQ(socket.st_mode & 07777, 0600u);
  EXPECT_EQ(lstat_of(runtime_dir_in(root.path())).st_mode & 07777, 0700u);

  AgentProcess second(agent_environment(root.path(), ""));
  EXPECT_EQ(second.wait_for_exit(), 0);
  EXPECT_EQ(second.output(), "");

  // The first agent serves on, from the very same socket file.
  EXPECT_EQ(round_trip(path, PING), ping_reply(first.pid()));
  EXPECT_EQ(lstat_of(path).st_ino, socket.st_ino);
  EXPECT_TRUE(first.running());
  EXPECT_EQ(first.output(), "");
}

TEST(E2eStartupTest, TakesOverTheSocketOfAKilledAgent) {
  TempDir root;
  const std::string path = socket_path_in(root.path());
  AgentProcess killed(agent_environment(root.path(), ""));
  ASSERT_TRUE(wait_until_serving(killed, path));
  killed.kill_and_reap();
  ASSERT_TRUE(exists(path)) << "a killed agent cannot remove its socket";

  AgentProcess next(agent_environment(root.path(), ""));
  ASSERT_TRUE(wait_until_serving(next, path)) << next.output();
  EXPECT_EQ(round_trip(path, PING), ping_reply(next.pid()));
  EXPECT_EQ(lstat_of(path).st_mode & 07777, 0600u);
  EXPECT_EQ(next.output(), "");
}

TEST(E2eStartupTest, TakesOverFromAPeerOfAnotherProtocolVersion) {
  // A stopping agent removes its own socket; one that is killed meanwhile leaves
  // it behind. The new agent must bind either way.
  for (const bool peer_removes_socket : {true, false}) {
    SCOPED_TRACE(peer_removes_socket ? "peer removes its socket" : "peer leaves its socket");
    TempDir root;
    const std::string path = socket_path_in(root.path());
    FakePeer peer(path);
    AgentProcess agent(agent_environment(root.path(), ""));

    UniqueFd probe = peer.accept_one();
    ASSERT_TRUE(probe.valid());
    EXPECT_EQ(read_line(probe.get()), PING);
    const std::string_view mismatch =
        "{\"agent_pid\":1,\"agent_protocol_version\":3,\"agent_version\":\"9.0.0\","
        "\"error\":\"protocol_mismatch\",\"ok\":false}\n";
    ASSERT_EQ(::write(probe.get(), mismatch.data(), mismatch.size()),
              static_cast<ssize_t>(mismatch.size()));
    probe.reset();
    peer.close_listener(peer_removes_socket);

    ASSERT_TRUE(wait_until_serving(agent, path)) << agent.output();
    EXPECT_EQ(round_trip(path, PING), ping_reply(agent.pid()));
    EXPECT_EQ(agent.output(), "");
  }
}

TEST(E2eStartupTest, TakesOverFromASilentPeerOnceTheProbeGivesUp) {
  TempDir root;
  const std::string path = socket_path_in(root.path());
  FakePeer peer(path);
  AgentProcess agent(agent_environment(root.path(), ""));

  UniqueFd probe = peer.accept_one();
  ASSERT_TRUE(probe.valid());
  const auto accepted = std::chrono::steady_clock::now();
  EXPECT_EQ(read_line(probe.get()), PING);
  // Nothing listens any more, so only the agent's own socket can answer; the
  // probe connection stays open and silent.
  peer.close_listener(false);

  ASSERT_TRUE(wait_until_serving(agent, path)) << agent.output();
  EXPECT_GE(std::chrono::steady_clock::now() - accepted, 6s) << "the probe waits 6 s for a reply";
  EXPECT_EQ(read_line(probe.get()), "") << "the agent closes its probe connection";
  EXPECT_EQ(round_trip(path, PING), ping_reply(agent.pid()));
  EXPECT_EQ(agent.output(), "");
}

TEST(E2eStartupTest, ADirectoryOrDanglingLinkAtTheSocketPathCannotBeBound) {
  TempDir root;
  const std::string path = socket_path_in(root.path());
  ASSERT_EQ(::mkdir(runtime_dir_in(root.path()).c_str(), 0700), 0);

  // The probe and the removal of a stale entry both fail on a directory.
  ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
  AgentProcess on_directory(agent_environment(root.path(), ""));
  EXPECT_EQ(on_directory.wait_for_exit(), 1);
  EXPECT_EQ(on_directory.output(), could_not_bind(path, "Is a directory (os error 21)"));
  EXPECT_TRUE(S_ISDIR(lstat_of(path).st_mode));

  // A link to nothing is no entry to probe or remove, and bind will not
  // replace it.
  ASSERT_EQ(::rmdir(path.c_str()), 0);
  ASSERT_EQ(::symlink((root.path() + "/nowhere").c_str(), path.c_str()), 0);
  AgentProcess on_link(agent_environment(root.path(), ""));
  EXPECT_EQ(on_link.wait_for_exit(), 1);
  EXPECT_EQ(on_link.output(), could_not_bind(path, ADDRESS_IN_USE));
  EXPECT_TRUE(S_ISLNK(lstat_of(path).st_mode));
  EXPECT_FALSE(exists(root.path() + "/nowhere"));
}

TEST(E2eStartupTest, OfTwoAgentsStartedAtOnceExactlyOneServes) {
  TempDir root;
  const std::string path = socket_path_in(root.path());
  AgentProcess a(agent_environment(root.path(), ""));
  AgentProcess b(agent_environment(root.path(), ""));

  ASSERT_TRUE(wait_until([&] { return !a.running() || !b.running(); })) << "both still run";
  const bool a_runs = a.running();
  AgentProcess& winner = a_runs ? a : b;
  AgentProcess& loser = a_runs ? b : a;
  ASSERT_TRUE(winner.running()) << "neither serves: " << winner.output();
  // The loser either probed the winner (and left quietly) or lost the bind.
  const std::optional<int> loser_code = loser.wait_for_exit();
  if (loser_code == 0) {
    EXPECT_EQ(loser.output(), "");
  } else {
    EXPECT_EQ(loser_code, 1);
    EXPECT_EQ(loser.output(), could_not_bind(path, ADDRESS_IN_USE));
  }
  EXPECT_EQ(round_trip(path, PING), ping_reply(winner.pid()));
  EXPECT_EQ(winner.output(), "");
}

TEST(E2eStartupTest, OfTwoAgentsTakingOverOneStaleSocketExactlyOneStaysAndServes) {
  TempDir root;
  const std::string path = socket_path_in(root.path());
  {
    AgentProcess killed(agent_environment(root.path(), ""));
    ASSERT_TRUE(wait_until_serving(killed, path));
    killed.kill_and_reap();
  }
  ASSERT_TRUE(exists(path)) << "a killed agent leaves its socket behind";

  // Both find the stale file, wait, unlink and bind; the later unlink removes
  // the earlier agent's fresh socket, and that agent must not stay behind.
  AgentProcess a(agent_environment(root.path(), ""));
  AgentProcess b(agent_environment(root.path(), ""));
  ASSERT_TRUE(wait_until([&] { return !a.running() || !b.running(); })) << "both still run";
  AgentProcess& winner = a.running() ? a : b;
  AgentProcess& loser = a.running() ? b : a;
  const std::optional<int> loser_code = loser.wait_for_exit();
  ASSERT_TRUE(loser_code == 0 || loser_code == 1) << loser.output();
  if (loser_code == 0) {
    EXPECT_EQ(loser.output(), "");
  }
  ASSERT_TRUE(winner.running()) << winner.output();
  EXPECT_EQ(round_trip(path, PING), ping_reply(winner.pid()));
  EXPECT_EQ(winner.output(), "");
}

TEST(E2eStartupTest, ASettingNotUnderstoodStopsStartUpBeforeAnySocket) {
  TempDir root;
  const std::string path = socket_path_in(root.path());
  std::vector<std::string> environment = agent_environment(root.path(), "");
  environment.push_back("TARNWEL_AGENT_MAX_TTL_SECONDS=1h");
  AgentProcess agent(environment);
  EXPECT_EQ(agent.wait_for_exit(), 1);
  EXPECT_EQ(agent.output(),
            "tarnwel-agent: TARNWEL_AGENT_MAX_TTL_SECONDS must be a positive whole number of "
            "seconds, not \"1h\"\n");
  EXPECT_FALSE(exists(path));
}

}  // namespace
}  // namespace tarnwel::testing
