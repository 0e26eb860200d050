// Start-up and shutdown of the real agent: taking a free path, deferring to
// a live agent, taking over stale, foreign and silent sockets, refusing
// unusable paths, and its identity and shutdown byte for byte on the wire
// (the rest of the envelope and the settings refused are tested in ../server;
// which directories are refused, in ../paths).
#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "base/line_reader.h"
#include "base/os_error.h"
#include "base/unix_socket.h"
#include "support/agent_process.h"
#include "support/socket_pair.h"

namespace tarnwel::testing {
namespace {

// The agent's line for a bind that failed with `error`. Where the errno's
// number differs between systems (EADDRINUSE), os_error_text gives it; the
// directory case pins the text's form.
std::string could_not_bind(const std::string& path, std::string_view error) {
  return "tarnwel-agent: could not bind " + path + ": " + std::string(error) + "\n";
}

// The next line from `fd`, without its newline, or why there is none.
Result<WipedBytes, LineReadFailure> next_line(int fd) {
  return read_line(fd, MonotonicClock::now() + EVENT_LIMIT, PING.size(), LimitCounts::Line);
}

// A private base directory, where every agent of a test looks for its socket.
class E2eStartupTest : public ::testing::Test {
 protected:
  TempDir root;
  const std::string path = socket_path_in(root.path());
  const std::vector<std::string> environment = agent_environment(root.path(), "");
};

// Two cases of one behaviour, each on a base directory of its own.
class E2eStartupCaseTest : public E2eStartupTest, public ::testing::WithParamInterface<bool> {};
INSTANTIATE_TEST_SUITE_P(BothCases, E2eStartupCaseTest, ::testing::Bool());

TEST_F(E2eStartupTest, BindsAFreePathPrivatelyADefersToItAndShutdownRemovesTheSocket) {
  AgentProcess first(environment);
  ASSERT_TRUE(wait_until_serving(first, path));

  const struct stat socket = lstat_of(path);
  EXPECT_TRUE(S_ISSOCK(socket.st_mode));
  EXPECT_EQ(mode_of(path), 0600u);

  AgentProcess second(environment);
  EXPECT_EQ(second.wait_for_exit(), 0);
  EXPECT_EQ(second.output(), "");

  // The first agent serves on, from the very same socket file.
  EXPECT_EQ(round_trip(path, PING), ping_reply(first.pid()));
  EXPECT_EQ(lstat_of(path).st_ino, socket.st_ino);

  // Shutdown answers, then the agent stops cleanly and quietly, and takes its
  // socket (but not its directory) with it.
  EXPECT_EQ(round_trip(path, "{\"cmd\":\"shutdown\",\"protocol_version\":2}\n"), "{\"ok\":true}\n");
  EXPECT_EQ(first.wait_for_exit(), 0);
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_TRUE(S_ISDIR(lstat_of(runtime_dir_in(root.path())).st_mode));
  EXPECT_EQ(first.output(), "");
}

// A peer of another version (false) answers the probe with a mismatch and
// stops, removing its socket as a stopping agent does. A silent peer (true)
// keeps the probe waiting until it gives up, and leaves its socket behind as
// a killed agent does.
TEST_P(E2eStartupCaseTest, TakesOverFromAPeerOfAnotherProtocolVersionOrASilentOne) {
  const bool silent = GetParam();
  ASSERT_EQ(::mkdir(runtime_dir_in(root.path()).c_str(), 0700), 0);
  Result<UniqueFd, SysError> peer = listen_unix(path);
  ASSERT_TRUE(peer.ok());
  AgentProcess agent(environment);

  pollfd ready{peer.value().get(), POLLIN, 0};
  ASSERT_EQ(::poll(&ready, 1, static_cast<int>(EVENT_LIMIT.count())), 1);
  UniqueFd probe = accept_connection(peer.value().get());
  ASSERT_TRUE(probe.valid());
  const auto accepted = std::chrono::steady_clock::now();
  const Result<WipedBytes, LineReadFailure> probed = next_line(probe.get());
  ASSERT_TRUE(probed.ok());
  EXPECT_EQ(std::string(as_view(probed.value())) + "\n", PING);
  if (!silent) {
    const std::string_view mismatch =
        "{\"agent_pid\":1,\"agent_protocol_version\":3,\"agent_version\":\"9.0.0\","
        "\"error\":\"protocol_mismatch\",\"ok\":false}\n";
    send_all(probe.get(), mismatch);
    probe.reset();
  }
  // Nothing listens any more, so only the agent's own socket can answer.
  peer.value().reset();
  if (!silent) ::unlink(path.c_str());

  ASSERT_TRUE(wait_until_serving(agent, path));
  if (silent) {
    EXPECT_GE(std::chrono::steady_clock::now() - accepted, 6s) << "the probe waits 6 s";
    EXPECT_EQ(next_line(probe.get()).error().kind, LineReadFailure::Kind::ClosedBeforeData)
        << "the agent closes its probe connection";
  }
  EXPECT_EQ(agent.output(), "");
}

TEST_F(E2eStartupTest, ABadSettingEndsStartUpBeforeAnyDirectoryAndAnUnbindablePathBeforeAnySocket) {
  std::vector<std::string> bad = environment;
  bad.push_back("TARNWEL_AGENT_MAX_TTL_SECONDS=1h");
  AgentProcess bad_setting(bad);
  EXPECT_EQ(bad_setting.wait_for_exit(), 1);
  EXPECT_EQ(bad_setting.output(),
            "tarnwel-agent: TARNWEL_AGENT_MAX_TTL_SECONDS must be a positive whole number of "
            "seconds, not \"1h\"\n");
  // (Every refusal of the settings reader takes this one way out.)
  EXPECT_FALSE(std::filesystem::exists(runtime_dir_in(root.path())));

  // The probe and the removal of a stale entry both fail on a directory.
  ASSERT_EQ(::mkdir(runtime_dir_in(root.path()).c_str(), 0700), 0);
  ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
  AgentProcess on_directory(environment);
  EXPECT_EQ(on_directory.wait_for_exit(), 1);
  EXPECT_EQ(on_directory.output(), could_not_bind(path, "Is a directory (os error 21)"));
  EXPECT_TRUE(S_ISDIR(lstat_of(path).st_mode));

  // A link to nothing is no entry to probe or remove, and bind will not
  // replace it.
  ASSERT_EQ(::rmdir(path.c_str()), 0);
  ASSERT_EQ(::symlink((root.path() + "/nowhere").c_str(), path.c_str()), 0);
  AgentProcess on_link(environment);
  EXPECT_EQ(on_link.wait_for_exit(), 1);
  EXPECT_EQ(on_link.output(), could_not_bind(path, os_error_text(EADDRINUSE)));
  EXPECT_TRUE(S_ISLNK(lstat_of(path).st_mode));
  EXPECT_FALSE(std::filesystem::exists(root.path() + "/nowhere"));
}

// On a free path (false), and on the stale socket of a killed agent (true):
// there both find the stale file, wait, unlink and bind, the later unlink
// removing the earlier agent's fresh socket, and that agent must not stay
// behind.
TEST_P(E2eStartupCaseTest, OfTwoAgentsStartedAtOnceExactlyOneStaysAndServes) {
  const bool stale = GetParam();
  if (stale) {
    AgentProcess killed(environment);
    ASSERT_TRUE(wait_until_serving(killed, path));
    killed.kill_and_reap();
    ASSERT_TRUE(std::filesystem::exists(path)) << "a killed agent leaves its socket behind";
  }
  AgentProcess a(environment);
  AgentProcess b(environment);
  ASSERT_TRUE(wait_until([&] { return !a.running() || !b.running(); })) << "both still run";
  const bool a_runs = a.running();
  AgentProcess& winner = a_runs ? a : b;
  AgentProcess& loser = a_runs ? b : a;
  ASSERT_TRUE(winner.running()) << "neither serves: " << winner.output();
  // The loser either probed the winner or lost its socket to it (and left
  // quietly), or lost the bind.
  const std::optional<int> loser_code = loser.wait_for_exit();
  if (loser_code == 0) {
    EXPECT_EQ(loser.output(), "");
  } else {
    EXPECT_EQ(loser_code, 1);
    EXPECT_EQ(loser.output(), could_not_bind(path, os_error_text(EADDRINUSE)));
  }
  EXPECT_EQ(round_trip(path, PING), ping_reply(winner.pid()));
  EXPECT_EQ(winner.output(), "");
}

}  // namespace
}  // namespace tarnwel::testing
