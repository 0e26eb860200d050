#include "presence/local_authentication_backend.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "base/clock.h"
#include "presence/objc_runtime_standin.h"

namespace tarnwel {
namespace {

using objc_standin::Framework;
using objc_standin::Record;
using objc_standin::Reply;
using objc_standin::Script;

// Long enough never to end a test whose reply comes at once.
constexpr auto GENEROUS_WAIT = std::chrono::seconds(10);
// For the tests that wait for a reply that does not come.
constexpr auto SHORT_WAIT = std::chrono::milliseconds(30);

// Every evaluation that reached the framework leaves nothing behind: one
// block copy, disposed once; every object deallocated; no misuse.
void expect_all_released(const Record& record) {
  EXPECT_EQ(record.block_copies, 1);
  EXPECT_EQ(record.block_disposals, 1);
  EXPECT_EQ(record.live_blocks, 0);
  EXPECT_EQ(record.live_objects, 0);
  EXPECT_TRUE(record.block_was_heap_copy);
  EXPECT_EQ(record.faults, std::vector<std::string>{});
}

TEST(LocalAuthenticationBackendTest, EachReplyBecomesItsOutcome) {
  const std::string with_nul("Abgebrochen \xE2\x80\x93 \xE2\x9C\x8B\0Ende", 23);
  struct Case {
    Reply reply;
    std::string error_text;
    PresenceOutcome expected;
  };
  const Case cases[] = {
      {Reply::Granted, "", Ok{}},
      {Reply::GrantedWithError, "Canceled by user.", Ok{}},
      {Reply::DeniedWithError, "Canceled by user.", PresenceError::denied("Canceled by user.")},
      {Reply::DeniedWithError, with_nul, PresenceError::denied(with_nul)},
      {Reply::DeniedWithoutError, "", PresenceError::denied("policy evaluation failed")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error_text);
    Framework framework({.reply = c.reply, .error_text = c.error_text});
    LocalAuthenticationBackend backend(GENEROUS_WAIT);
    const PresenceOutcome outcome = backend.evaluate({"unlock the deploy key"});
    framework.finish();
    EXPECT_EQ(outcome.ok(), c.expected.ok());
    if (!c.expected.ok()) {
      ASSERT_FALSE(outcome.ok());
      EXPECT_EQ(outcome.error(), c.expected.error());
    }
    const Record record = framework.record();
    EXPECT_EQ(record.evaluations, 1);
    EXPECT_EQ(record.policy, 2);
    EXPECT_EQ(record.block_calls, 1);
    expect_all_released(record);
  }
}

TEST(LocalAuthenticationBackendTest, ReasonReachesThePlatformUntrimmedAndByteExact) {
  const std::string reasons[] = {
      "  unlock \xE2\x80\x98prod\xE2\x80\x99 \xF0\x9F\x94\x91\t\n",  // ‘prod’ 🔑 between blanks
      "   ",  // blanks only: refusing them is the checker's business, not the backend's
      "x",
  };
  for (const std::string& reason : reasons) {
    Framework framework({.reply = Reply::Granted});
    LocalAuthenticationBackend backend(GENEROUS_WAIT);
    EXPECT_TRUE(backend.evaluate({reason}).ok());
    framework.finish();
    const Record record = framework.record();
    EXPECT_EQ(record.reason, reason);
    EXPECT_EQ(record.reason_encoding, 4u);
    expect_all_released(record);
  }
}

TEST(LocalAuthenticationBackendTest, UnansweredPromptTimesOutAndReleasesInOrder) {
  Framework framework({.reply = Reply::Never});
  LocalAuthenticationBackend backend(SHORT_WAIT);
  const Instant start = MonotonicClock::now();
  const PresenceOutcome outcome = backend.evaluate({"reason"});
  EXPECT_GE(MonotonicClock::now() - start, SHORT_WAIT);
  ASSERT_FALSE(outcome.ok());
  EXPECT_EQ(outcome.error(), PresenceError::timed_out());

  // The framework still holds the block, so its sender must still be there.
  Record record = framework.record();
  EXPECT_EQ(record.block_disposals, 0);
  EXPECT_EQ(record.events,
            (std::vector<std::string>{"release block", "dealloc NSString", "dealloc LAContext"}));

  framework.finish();
  record = framework.record();
  EXPECT_EQ(record.events.back(), "dispose block");
  EXPECT_EQ(record.block_calls, 0);
  expect_all_released(record);
}

TEST(LocalAuthenticationBackendTest, BlockDroppedWithoutReplyTimesOut) {
  Framework framework({.reply = Reply::DropWithoutReply});
  LocalAuthenticationBackend backend(SHORT_WAIT);
  const PresenceOutcome outcome = backend.evaluate({"reason"});
  framework.finish();
  ASSERT_FALSE(outcome.ok());
  EXPECT_EQ(outcome.error(), PresenceError::timed_out());
  const Record record = framework.record();
  EXPECT_EQ(record.block_calls, 0);
  expect_all_released(record);
}

TEST(LocalAuthenticationBackendTest, LateReplyIsDroppedAndItsBlockStaysValid) {
  Framework framework({.reply = Reply::AfterWaitEnds});
  LocalAuthenticationBackend backend(SHORT_WAIT);
  const PresenceOutcome outcome = backend.evaluate({"reason"});
  ASSERT_FALSE(outcome.ok());
  EXPECT_EQ(outcome.error(), PresenceError::timed_out());

  // The reply now runs on a block the backend has let go of: its sender must
  // still be alive (ASan would report it otherwise) and the reply dropped.
  framework.deliver_late_reply();
  framework.finish();
  const Record record = framework.record();
  EXPECT_EQ(record.block_calls, 1);
  EXPECT_EQ(record.events.back(), "dispose block");
  expect_all_released(record);
}

TEST(LocalAuthenticationBackendTest, FrameworkThatCannotStartDeniesAndLeaksNothing) {
  struct Case {
    bool Script::*fault;
    std::string text;
  };
  const Case cases[] = {
      {&Script::hide_context_class, "LAContext is not available"},
      {&Script::new_context_returns_nil, "no LAContext was created"},
      {&Script::string_init_fails, "the reason text was refused"},
      {&Script::block_copy_fails, "the reply block could not be copied"},
  };
  for (const Case& c : cases) {
    Script script;
    script.*c.fault = true;
    Framework framework(script);
    LocalAuthenticationBackend backend(GENEROUS_WAIT);
    const PresenceOutcome outcome = backend.evaluate({"reason"});
    framework.finish();
    ASSERT_FALSE(outcome.ok()) << c.text;
    EXPECT_EQ(outcome.error(),
              PresenceError::denied("could not start local authentication: " + c.text));
    const Record record = framework.record();
    EXPECT_EQ(record.evaluations, 0);
    EXPECT_EQ(record.live_objects, 0);
    EXPECT_EQ(record.live_blocks, 0);
    EXPECT_EQ(record.faults, std::vector<std::string>{});
  }
}

}  // namespace
}  // namespace tarnwel
