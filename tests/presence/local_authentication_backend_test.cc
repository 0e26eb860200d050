#include "presence/local_authentication_backend.h"

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

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
// block copy, disposed once; every object deallocated; its one autorelease
// pool popped; no misuse.
void expect_all_released(const Record& record) {
  EXPECT_EQ(record.pools_pushed, 1);
  EXPECT_EQ(record.open_pools, 0);
  EXPECT_EQ(record.block_copies, 1);
  EXPECT_EQ(record.live_blocks, 0);
  EXPECT_EQ(record.live_objects, 0);
  EXPECT_EQ(record.faults, std::vector<std::string>{});
}

// The reason reaches the framework untrimmed and byte for byte, whatever the
// reply.
TEST(LocalAuthenticationBackendTest, EachReplyBecomesItsOutcome) {
  const std::string with_nul("Abgebrochen \xE2\x80\x93 \xE2\x9C\x8B\0Ende", 23);
  struct Case {
    Script script;
    std::string reason;
    PresenceOutcome expected;
  };
  const Case cases[] = {
      // ‘prod’ and a key, between blanks.
      {{.reply = Reply::Granted},
       "  unlock \xE2\x80\x98prod\xE2\x80\x99 \xF0\x9F\x94\x91\t\n",
       Ok{}},
      // Blanks only: refusing them is the checker's business; the framework takes them.
      {{.reply = Reply::GrantedWithError}, "   ", Ok{}},
      {{.reply = Reply::DeniedWithError}, "x", PresenceError::denied("Canceled by user.")},
      {{.reply = Reply::DeniedWithError, .error_text = with_nul},
       "unlock the deploy key",
       PresenceError::denied(with_nul)},
      {{.reply = Reply::DeniedWithoutError},
       "unlock the deploy key",
       PresenceError::denied("policy evaluation failed")},
      // Reading the error's text raises.
      {{.reply = Reply::DeniedWithError, .raise_on = "localizedDescription"},
       "unlock the deploy key",
       PresenceError::abnormal_end("local authentication raised while replying")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason + c.script.error_text + c.script.raise_on);
    Framework framework(c.script);
    LocalAuthenticationBackend backend(GENEROUS_WAIT);
    const PresenceOutcome outcome = backend.evaluate({c.reason});
    framework.finish();
    EXPECT_EQ(outcome.ok(), c.expected.ok());
    if (!c.expected.ok()) {
      ASSERT_FALSE(outcome.ok());
      EXPECT_EQ(outcome.error(), c.expected.error());
    }
    const Record record = framework.record();
    EXPECT_EQ(record.reason, c.reason);
    EXPECT_EQ(record.policy, 2);
    expect_all_released(record);
  }

  // The framework raises for an empty reason, so it never gets one.
  Framework framework({.reply = Reply::Granted});
  LocalAuthenticationBackend backend(GENEROUS_WAIT);
  const PresenceOutcome outcome = backend.evaluate({""});
  ASSERT_FALSE(outcome.ok());
  EXPECT_EQ(outcome.error(), PresenceError::denied("a non-empty reason is required"));
  EXPECT_EQ(framework.record().evaluations, 0);
  EXPECT_EQ(framework.record().pools_pushed, 0);
}

// No reply within the wait: the prompt left unanswered, the block dropped
// without a call, or a reply that comes after the wait has ended.
TEST(LocalAuthenticationBackendTest, NoReplyInTimeIsATimeOutAndTheBlockOutlivesTheWait) {
  for (const Reply reply : {Reply::Never, Reply::DropWithoutReply, Reply::AfterWaitEnds}) {
    SCOPED_TRACE(static_cast<int>(reply));
    Framework framework({.reply = reply});
    LocalAuthenticationBackend backend(SHORT_WAIT);
    const Instant start = MonotonicClock::now();
    const PresenceOutcome outcome = backend.evaluate({"reason"});
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error(), PresenceError::timed_out());
    if (reply == Reply::Never) {
      EXPECT_GE(MonotonicClock::now() - start, SHORT_WAIT);
      // The framework still holds the block, so its sender must still be there.
      EXPECT_EQ(framework.record().events,
                (std::vector<std::string>{"release block", "dealloc NSString", "dealloc LAContext",
                                          "pop pool"}));
    }
    // A late reply runs on a block the backend has let go of: its sender must
    // still be alive (ASan would report it otherwise) and the reply dropped.
    if (reply == Reply::AfterWaitEnds) framework.deliver_late_reply();
    framework.finish();
    const Record record = framework.record();
    EXPECT_EQ(record.block_calls, reply == Reply::AfterWaitEnds ? 1 : 0);
    if (reply != Reply::DropWithoutReply) {
      EXPECT_EQ(record.events.back(), "dispose block");  // the last reference was the framework's
    }
    expect_all_released(record);
  }
}

TEST(LocalAuthenticationBackendTest, FrameworkThatCannotStartEndsAbnormallyAndLeaksNothing) {
  const std::string raised = "the framework raised an exception";
  const std::pair<Script, std::string> cases[] = {
      {{.refuse = "LAContext"}, "LAContext is not available"},
      {{.refuse = "NSString"}, "NSString is not available"},
      {{.refuse = "new"}, "no LAContext was created"},
      {{.refuse = "initWithBytes:length:encoding:"}, "the reason text was refused"},
      {{.refuse = "_Block_copy"}, "the reply block could not be copied"},
      {{.raise_on = "new"}, raised},
      {{.raise_on = "evaluatePolicy:localizedReason:reply:"}, raised},
  };
  for (const auto& [script, text] : cases) {
    SCOPED_TRACE(text);
    Framework framework(script);
    LocalAuthenticationBackend backend(GENEROUS_WAIT);
    const PresenceOutcome outcome = backend.evaluate({"reason"});
    framework.finish();
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error(),
              PresenceError::abnormal_end("could not start local authentication: " + text));
    const Record record = framework.record();
    EXPECT_EQ(record.evaluations, 0);
    EXPECT_EQ(record.live_objects, 0);
    EXPECT_EQ(record.live_blocks, 0);
    EXPECT_EQ(record.open_pools, 0);
    EXPECT_EQ(record.faults, std::vector<std::string>{});
  }
}

}  // namespace
}  // namespace tarnwel
