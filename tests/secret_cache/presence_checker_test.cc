#include "secret_cache/presence_checker.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/cache_probes.h"
#include "support/fake_presence_backend.h"

namespace tarnwel {
namespace {

using testing::FakePresenceBackend;

const PresenceError BLANK_REASON = PresenceError::denied("a non-empty reason is required");

class PresenceCheckerTest : public ::testing::Test {
 protected:
  // The checker takes `owned_` over; `backend` stays valid while it lives.
  std::unique_ptr<FakePresenceBackend> owned_ = std::make_unique<FakePresenceBackend>();
  FakePresenceBackend& backend = *owned_;
  PresenceChecker checker{std::move(owned_)};
};

TEST_F(PresenceCheckerTest, BlankReasonIsDeniedWithoutPromptingOtherReasonsPassUntrimmed) {
  for (std::string blank :
       {"", " \t\n\v\f\r", "\xC2\x85\xC2\xA0\xE1\x9A\x80", "\xE2\x80\x80\xE2\x80\x8A\xE2\x80\xA8",
        "\xE2\x80\xA9\xE2\x80\xAF\xE2\x81\x9F\xE3\x80\x80"}) {
    EXPECT_EQ(checker.require_presence("a", {blank}).error(), BLANK_REASON) << blank;
  }
  // The rule looks at the client's reason, not at the text the prompt shows.
  const Requester git{4242, "/usr/bin/git"};
  EXPECT_EQ(checker.require_presence("a", {" \t", &git}).error(), BLANK_REASON);
  EXPECT_EQ(backend.calls(), 0u);

  // Zero-width space (U+200B) and U+180E look blank but are not White_Space.
  const std::vector<std::string> shown = {" deploy\xC2\xA0", "\xE2\x80\x8B", "\xE1\xA0\x8E",
                                          "\xC2\xA0x"};
  for (const std::string& reason : shown) EXPECT_TRUE(checker.require_presence("a", {reason}).ok());
  EXPECT_EQ(backend.reasons(), shown);
  EXPECT_FALSE(checker.in_flight("a"));
}

// The leader's reason and requester make the one prompt; a joiner's are
// never looked at.
TEST_F(PresenceCheckerTest, RequestsForOneProfileShareOneCheckAndItsOutcome) {
  const Requester git{4242, "/usr/bin/git"};
  const Requester other{7, "/tmp/other"};
  backend.hold_calls();
  std::optional<PresenceOutcome> leader, first, second;
  std::thread t0([&] { leader = checker.require_presence("a", {" why ", &git}); });
  ASSERT_TRUE(backend.wait_for_calls(1));
  std::thread t1([&] { first = checker.require_presence("a", {"   "}); });
  std::thread t2([&] { second = checker.require_presence("a", {"not shown", &other}); });
  ASSERT_TRUE(testing::wait_for_joins(checker, 2));
  backend.finish(PresenceError::denied("user cancelled"));
  t0.join(), t1.join(), t2.join();

  for (auto* outcome : {&leader, &first, &second}) {
    EXPECT_EQ((*outcome)->error(), PresenceError::denied("user cancelled"));
  }
  EXPECT_EQ(backend.reasons(),
            std::vector<std::string>{" why \nRequested by /usr/bin/git (pid 4242)"});
  EXPECT_FALSE(checker.in_flight("a"));

  // Nothing is remembered: the next request prompts again.
  backend.answer_at_once(Ok{});
  EXPECT_TRUE(checker.require_presence("a", {"again"}).ok());
  EXPECT_EQ(backend.calls(), 2u);
}

// A check that ends at once (Busy here; a blank reason ends the same way)
// leaves only a short window to join, up to the moment its outcome is
// published and the profile freed; many requests at once make joins likely,
// and the checker counts them, so the test goes on until joiners have been
// seen. On a loaded machine that may take many rounds: the check that keeps
// "b" busy is held for as long as the crowd may need.
TEST_F(PresenceCheckerTest, JoinersOfAnImmediateOutcomeGetTheSameOutcome) {
  constexpr int THREADS = 8;
  constexpr auto CROWD_LIMIT = std::chrono::seconds(45);
  backend.hold_calls(CROWD_LIMIT + std::chrono::seconds(15));
  std::optional<PresenceOutcome> a;
  std::thread holder([&] { a = checker.require_presence("a", {"for a"}); });
  ASSERT_TRUE(backend.wait_for_calls(1));
  // Another profile is busy at once, before its reason is looked at.
  EXPECT_EQ(checker.require_presence("b", {" "}).error(), PresenceError::busy());
  const auto give_up = std::chrono::steady_clock::now() + CROWD_LIMIT;
  while (checker.joins() == 0 && std::chrono::steady_clock::now() < give_up) {
    // Released at once by a spinning start, not one by one by a wake-up.
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < THREADS; ++i) {
      threads.emplace_back([&] {
        ready.fetch_add(1);
        while (ready.load() < THREADS) std::this_thread::yield();
        PresenceOutcome outcome = checker.require_presence("b", {"fine"});
        if (outcome.ok() || !(outcome.error() == PresenceError::busy())) {
          ADD_FAILURE() << "unexpected outcome: "
                        << (outcome.ok() ? "granted" : outcome.error().display());
        }
      });
    }
    for (auto& t : threads) t.join();
  }
  EXPECT_GT(checker.joins(), 0u) << "no request ever joined";
  EXPECT_FALSE(checker.in_flight("b"));
  backend.finish(Ok{});
  holder.join();
  EXPECT_EQ(backend.calls(), 1u);
}

// A leader with no outcome to share, because its backend threw or its
// evaluation ended abnormally, gives its joiners Busy and frees the gate.
TEST_F(PresenceCheckerTest, LeaderWithoutAnOutcomeGivesJoinersBusyAndFreesTheGate) {
  const PresenceError abnormal = PresenceError::abnormal_end("could not start");
  for (const bool throws : {true, false}) {
    SCOPED_TRACE(throws ? "throws" : "ends abnormally");
    backend.hold_calls();
    std::optional<PresenceOutcome> first, second;
    std::thread leader([&] {
      if (throws) {
        EXPECT_THROW((void)checker.require_presence("a", {"why"}), testing::FakeBackendFailure);
      } else {
        EXPECT_EQ(checker.require_presence("a", {"why"}).error(), abnormal);
      }
    });
    ASSERT_TRUE(backend.wait_for_calls(throws ? 1 : 3));
    const std::uint64_t joins_before = checker.joins();
    std::thread t1([&] { first = checker.require_presence("a", {"why"}); });
    std::thread t2([&] { second = checker.require_presence("a", {"why"}); });
    ASSERT_TRUE(testing::wait_for_joins(checker, joins_before + 2));
    if (throws) backend.throw_at_once();  // the held call throws, whatever it is finished with
    backend.finish(abnormal);
    leader.join(), t1.join(), t2.join();

    EXPECT_EQ(first->error(), PresenceError::busy());
    EXPECT_EQ(second->error(), PresenceError::busy());
    EXPECT_FALSE(checker.in_flight("a"));
    backend.answer_at_once(Ok{});
    EXPECT_TRUE(checker.require_presence("b", {"why"}).ok());
  }

  backend.throw_at_once();  // a throw without joiners leaves nothing behind either
  EXPECT_THROW((void)checker.require_presence("c", {"why"}), testing::FakeBackendFailure);
  backend.answer_at_once(PresenceError::timed_out());
  EXPECT_EQ(checker.require_presence("c", {"why"}).error(), PresenceError::timed_out());
}

}  // namespace
}  // namespace tarnwel
