// No copy of a secret outlives its time in the cache: the agent's writable
// memory holds the secret while it is cached and not one byte-for-byte copy
// once it is locked, expired and purged, or refused by the presence check.
// The scan looks at the whole process from outside (/proc/PID/mem), so it
// also catches copies in buffers that no code path frees explicitly.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <optional>

#include "support/agent_process.h"
#include "support/fake_askpass.h"
#include "stress/process_inspection.h"
#include "support/requests.h"
#include "stress/sanitizers.h"

namespace tarnwel::testing {
namespace {

constexpr std::string_view OK = "{\"ok\":true}\n";

class SecretResidueTest : public ::testing::Test {
 protected:
  // The agent makes itself undumpable: only root may read its memory.
  void SetUp() override {
    if (::geteuid() != 0) {
      GTEST_SKIP() << "needs root to read the memory of the undumpable agent";
    }
  }

  // Every presence check ends at once with `askpass_status` (0 grants);
  // without one, each waits until the test answers.
  void start_agent(std::optional<int> askpass_status, std::string_view askpass_error = "") {
    if (askpass_status) askpass_.answer(*askpass_status, askpass_error);
    agent_ = std::make_unique<AgentProcess>(agent_environment(root_.path(), askpass_.program()));
    ASSERT_TRUE(wait_until_serving(*agent_, socket_)) << agent_->output();
  }

  std::string send(std::string_view line) { return round_trip(socket_, line); }

  // The scan waits for every connection thread to end first: a thread still
  // writing its reply holds the secret legitimately.
  MemoryScan scan_for(const std::string& secret) {
    EXPECT_TRUE(wait_for_thread_count(agent_->pid())) << thread_count(agent_->pid());
    MemoryScan scan = scan_writable_memory(agent_->pid(), secret);
    EXPECT_TRUE(scan.opened);
    // Without a sanitizer every writable region is scanned.
    if (!UNDER_ASAN && !UNDER_TSAN) {
      EXPECT_TRUE(scan.skipped.empty()) << scan.describe();
    }
    return scan;
  }

  TempDir root_;
  FakeAskpass askpass_{root_.path()};
  std::string socket_ = socket_path_in(root_.path());
  std::unique_ptr<AgentProcess> agent_;
};

TEST_F(SecretResidueTest, ASecretIsInMemoryUntilLockedThenNowhereAndADeniedOneNever) {
  ASSERT_NO_FATAL_FAILURE(start_agent(1, "not you"));
  const std::string refused = random_secret();
  ASSERT_EQ(send(unlock_line("work", refused)),
            "{\"error\":\"presence_denied\",\"message\":\"presence check failed: not you\","
            "\"ok\":false}\n");
  const MemoryScan denied = scan_for(refused);
  EXPECT_GT(denied.scanned_bytes, 0u);
  EXPECT_EQ(denied.occurrences, 0u) << denied.describe();

  askpass_.answer(0);
  const std::string secret = random_secret();
  ASSERT_EQ(send(unlock_line("work", secret)), OK);
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(send(get_secret_line("work")), "{\"ok\":true,\"secret\":\"" + secret + "\"}\n");
  }
  const MemoryScan cached = scan_for(secret);
  EXPECT_GE(cached.occurrences, 1u) << cached.describe();

  ASSERT_EQ(send(lock_line("work")), OK);
  const MemoryScan locked = scan_for(secret);
  EXPECT_EQ(locked.occurrences, 0u) << locked.describe();
}

TEST_F(SecretResidueTest, WhileThePromptIsUpTheSecretIsOnlyInLockedPages) {
  // The sanitizers' mlock interceptor returns success and locks nothing.
  if (UNDER_ASAN || UNDER_TSAN) GTEST_SKIP() << "no page is ever locked under a sanitizer";
  ASSERT_NO_FATAL_FAILURE(start_agent(std::nullopt));
  const std::string secret = random_secret();
  const UniqueFd stream = send_request(socket_, unlock_line("work", secret));
  ASSERT_TRUE(askpass_.wait_for_runs(1));
  const MemoryScan prompting = scan_writable_memory(agent_->pid(), secret);
  EXPECT_TRUE(prompting.opened);
  EXPECT_GE(prompting.occurrences, 1u) << prompting.describe();
  EXPECT_EQ(prompting.unlocked_occurrences, 0u) << prompting.describe();
  askpass_.answer(0);
  EXPECT_EQ(read_reply(stream.get()), OK);
}

}  // namespace
}  // namespace tarnwel::testing
