// The cache commands of the real agent, with the askpass program as the only
// stand-in: what is stored, handed out, refused and forgotten, byte for byte.
#include <dirent.h>
#include <gtest/gtest.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>

#include "agent_commit.h"
#include "e2e/agent_process.h"
#include "e2e/fake_askpass.h"

namespace tarnwel::testing {
namespace {

constexpr std::string_view OK = "{\"ok\":true}\n";
constexpr std::string_view NOT_CACHED = "{\"error\":\"not_cached\",\"ok\":false}\n";

std::string unlock(std::string_view profile, std::string_view secret,
                   std::string_view reason = "open it") {
  return "{\"cmd\":\"unlock\",\"profile\":\"" + std::string(profile) +
         "\",\"protocol_version\":2,\"reason\":\"" + std::string(reason) + "\",\"secret\":\"" +
         std::string(secret) + "\"}\n";
}

std::string get_secret(std::string_view profile) {
  return "{\"cmd\":\"get_secret\",\"profile\":\"" + std::string(profile) +
         "\",\"protocol_version\":2}\n";
}

std::string lock(std::string_view profile) {
  return "{\"cmd\":\"lock\",\"profile\":\"" + std::string(profile) + "\",\"protocol_version\":2}\n";
}

constexpr std::string_view LOCK_ALL = "{\"cmd\":\"lock\",\"protocol_version\":2}\n";
constexpr std::string_view STATUS = "{\"cmd\":\"status\",\"protocol_version\":2}\n";

std::string status_reply(pid_t pid, std::string_view profiles) {
  return std::string("{\"agent_commit\":\"") + TARNWEL_AGENT_COMMIT +
         "\",\"agent_pid\":" + std::to_string(pid) +
         ",\"agent_version\":\"1.12.0\",\"cached_profiles\":[" + std::string(profiles) +
         "],\"ok\":true,\"protocol_version\":2}\n";
}

std::string denied(std::string_view text) {
  return "{\"error\":\"presence_denied\",\"message\":\"presence check failed: " +
         std::string(text) + "\",\"ok\":false}\n";
}

// Whether a thread of process `pid` sleeps on a condition variable: glibc's
// pthread_cond_wait is the only FUTEX_WAIT_BITSET the agent issues, and an
// "unlock" that joined another's presence check is the only thing that waits
// on one. The test cannot be told of the join any other way.
bool has_condition_waiter(pid_t pid) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = ::opendir(tasks.c_str());
  if (dir == nullptr) return false;
  bool found = false;
  while (const dirent* entry = ::readdir(dir)) {
    std::ifstream in(tasks + "/" + entry->d_name + "/syscall");
    long number = -1;
    std::string address;
    std::string operation;
    if (!(in >> number >> address >> operation) || number != SYS_futex) continue;
    const long op = std::stol(operation, nullptr, 16) & FUTEX_CMD_MASK;
    found = found || op == FUTEX_WAIT_BITSET;
  }
  ::closedir(dir);
  return found;
}

class E2eCacheTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(wait_until_serving(agent_, path_)) << agent_.output(); }
  // Runs as root, so every secret's memory can be locked and no request has
  // anything to say on stderr.
  void TearDown() override { EXPECT_EQ(agent_.output(), ""); }

  std::string send(std::string_view request) { return round_trip(path_, request); }

  TempDir root_;
  const std::string path_ = socket_path_in(root_.path());
  FakeAskpass askpass_{root_.path()};
  AgentProcess agent_{agent_environment(root_.path(), askpass_.program())};
};

TEST_F(E2eCacheTest, UnlockedSecretsAreHandedOutListedAndLocked) {
  askpass_.answer(0);
  EXPECT_EQ(send(STATUS), status_reply(agent_.pid(), ""));

  // Escaped on the way in; the writer escapes only what it must, and sends
  // the slash, DEL and everything beyond ASCII as they are.
  const std::string tricky_in = "p\\u00e4\\\"ss\\\\w\\n\\t\\u0001\\u007f/\\u20ac\xF0\x9F\x98\x80";
  const std::string tricky_out =
      "p\xC3\xA4\\\"ss\\\\w\\n\\t\\u0001\x7F/\xE2\x82\xAC\xF0\x9F\x98\x80";
  EXPECT_EQ(send(unlock("b", "bee", "open b")), OK);
  EXPECT_EQ(send(unlock("a", tricky_in, "open a")), OK);
  EXPECT_EQ(send(unlock("Empty", "", "open Empty")), OK);
  EXPECT_EQ(askpass_.runs(),
            (std::vector<std::string>{"confirm open b", "confirm open a", "confirm open Empty"}));
  EXPECT_EQ(askpass_.requesters(), std::vector<std::string>(3, "unset|unset"))
      << "no requester is named unless asked for";

  EXPECT_EQ(send(get_secret("a")), "{\"ok\":true,\"secret\":\"" + tricky_out + "\"}\n");
  EXPECT_EQ(send(get_secret("b")), "{\"ok\":true,\"secret\":\"bee\"}\n");
  EXPECT_EQ(send(get_secret("Empty")), "{\"ok\":true,\"secret\":\"\"}\n");
  EXPECT_EQ(send(get_secret("A")), NOT_CACHED) << "names are compared byte for byte";
  EXPECT_EQ(send(STATUS), status_reply(agent_.pid(), "\"Empty\",\"a\",\"b\""));

  EXPECT_EQ(send(lock("b")), OK);
  EXPECT_EQ(send(lock("never")), OK);
  EXPECT_EQ(send(get_secret("b")), NOT_CACHED);
  EXPECT_EQ(send(get_secret("a")), "{\"ok\":true,\"secret\":\"" + tricky_out + "\"}\n");
  EXPECT_EQ(send(STATUS), status_reply(agent_.pid(), "\"Empty\",\"a\""));

  EXPECT_EQ(send(LOCK_ALL), OK);
  EXPECT_EQ(send(get_secret("a")), NOT_CACHED);
  EXPECT_EQ(send(get_secret("Empty")), NOT_CACHED);
  EXPECT_EQ(send(STATUS), status_reply(agent_.pid(), ""));
  EXPECT_EQ(askpass_.runs().size(), 3u) << "handing out and locking never prompt";
}

TEST_F(E2eCacheTest, FailedPresenceChecksAreReportedAndStoreNothing) {
  // The first line with more than blanks is the askpass's word for it.
  askpass_.answer(1, "  \n\nUser said no  \nsecond line\n");
  EXPECT_EQ(send(unlock("a", "s", "first")), denied("User said no"));
  askpass_.answer(3);
  EXPECT_EQ(send(unlock("a", "s", "second")), denied("askpass exited with status 3"));
  EXPECT_EQ(askpass_.runs(), (std::vector<std::string>{"confirm first", "confirm second"}));

  askpass_.answer(0);
  EXPECT_EQ(send(unlock("a", "s", " \\t ")), denied("a non-empty reason is required"));
  EXPECT_EQ(askpass_.runs().size(), 2u) << "a blank reason is never shown";
  EXPECT_EQ(send(get_secret("a")), NOT_CACHED);
  EXPECT_EQ(send(STATUS), status_reply(agent_.pid(), ""));
}

TEST_F(E2eCacheTest, OnePromptIsSharedOthersAreBusyAndALockOvertakesIt) {
  UniqueFd leader = send_request(path_, unlock("a", "first", "shared"));
  ASSERT_TRUE(askpass_.wait_for_runs(1));
  ASSERT_FALSE(has_condition_waiter(agent_.pid())) << "only a joiner may wait on one";
  UniqueFd joiner = send_request(path_, unlock("a", "second", "not shown"));
  ASSERT_TRUE(wait_until([&] { return has_condition_waiter(agent_.pid()); }));

  // While the prompt is up: another profile is refused at once, and the cache
  // still answers everything that needs no prompt.
  EXPECT_EQ(send(unlock("b", "bee")),
            "{\"error\":\"presence_busy\",\"message\":\"a presence check for a different profile "
            "is already in progress\",\"ok\":false}\n");
  EXPECT_EQ(send(get_secret("a")), NOT_CACHED);
  EXPECT_EQ(send(STATUS), status_reply(agent_.pid(), ""));

  askpass_.answer(0);
  EXPECT_EQ(read_reply(leader.get()), OK);
  EXPECT_EQ(read_reply(joiner.get()), OK);
  EXPECT_EQ(askpass_.runs(), std::vector<std::string>{"confirm shared"});
  // The later request's secret is the one kept.
  EXPECT_EQ(send(get_secret("a")), "{\"ok\":true,\"secret\":\"second\"}\n");
  EXPECT_EQ(send(get_secret("b")), NOT_CACHED);

  // A lock that lands while the user decides wins over the grant.
  askpass_.hold();
  UniqueFd overtaken = send_request(path_, unlock("c", "sea", "overtaken"));
  ASSERT_TRUE(askpass_.wait_for_runs(2));
  EXPECT_EQ(send(lock("c")), OK);
  askpass_.answer(0);
  EXPECT_EQ(read_reply(overtaken.get()), OK);
  EXPECT_EQ(send(get_secret("c")), NOT_CACHED);
  EXPECT_EQ(send(STATUS), status_reply(agent_.pid(), "\"a\""));
}

TEST(E2eCacheSettingsTest, ShowRequesterNamesThisProgramInTheArgumentAndTheEnvironment) {
  // The other two settings are on as well: none of them changes the replies.
  TempDir root;
  const std::string path = socket_path_in(root.path());
  FakeAskpass askpass(root.path());
  std::vector<std::string> environment = agent_environment(root.path(), askpass.program());
  environment.push_back("TARNWEL_AGENT_SHOW_REQUESTER=1");
  environment.push_back("TARNWEL_AGENT_LOCK_ON_SLEEP=1");
  environment.push_back("TARNWEL_AGENT_MAX_TTL_SECONDS=3600");
  AgentProcess agent(environment);
  ASSERT_TRUE(wait_until_serving(agent, path)) << agent.output();

  char self[4096];
  const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self);
  ASSERT_GT(length, 0);
  const std::string exe(self, static_cast<std::size_t>(length));
  const std::string pid = std::to_string(::getpid());

  askpass.answer(0);
  EXPECT_EQ(round_trip(path, unlock("a", "s", "open a")), OK);
  EXPECT_EQ(askpass.runs(), (std::vector<std::string>{
                                "confirm open a", "Requested by " + exe + " (pid " + pid + ")"}));
  EXPECT_EQ(askpass.requesters(), std::vector<std::string>{pid + "|" + exe});
  // The blank-reason rule is the client's reason's, not the composed prompt's.
  EXPECT_EQ(round_trip(path, unlock("b", "s", " \\t ")), denied("a non-empty reason is required"));
  EXPECT_EQ(askpass.requesters().size(), 1u);
  EXPECT_EQ(round_trip(path, get_secret("a")), "{\"ok\":true,\"secret\":\"s\"}\n");
  EXPECT_EQ(agent.output(), "");
}

TEST(E2eCacheNoAskpassTest, UnlockIsUnsupportedWithoutAnAskpassProgram) {
  TempDir root;
  const std::string path = socket_path_in(root.path());
  const std::string empty_bin = root.path() + "/bin";
  ASSERT_EQ(::mkdir(empty_bin.c_str(), 0700), 0);
  AgentProcess agent(agent_environment(root.path(), "", empty_bin));
  ASSERT_TRUE(wait_until_serving(agent, path)) << agent.output();

  EXPECT_EQ(round_trip(path, unlock("a", "s")),
            "{\"error\":\"presence_unsupported\",\"message\":\"presence check is not supported on "
            "this platform\",\"ok\":false}\n");
  EXPECT_EQ(round_trip(path, get_secret("a")), NOT_CACHED);
  EXPECT_EQ(agent.output(), "");
}

}  // namespace
}  // namespace tarnwel::testing
