#include "presence/local_authentication_backend.h"

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "presence/objc_runtime_standin.h"

namespace tarnwel {
namespace {

using objc_standin::Framework;
using objc_standin::Record;
using objc_standin::Reply;

// Long enough never to end a test whose reply comes at once.
constexpr auto GENEROUS_WAIT = std::chrono::seconds(10);
// For the tests that wait for a reply that does not come.
constexpr auto SHORT_WAIT = std::chrono::milliseconds(30);

void expect_outcome(const PresenceOutcome& outcome, const PresenceOutcome& expected) {
  ASSERT_EQ(outcome.ok(), expected.ok());
  if (!expected.ok()) {
    EXPECT_EQ(outcome.error(), expected.error());
  }
}

// An evaluation leaves nothing behind: every block disposed, every object
// deallocated, every autorelease pool popped, no misuse.
void expect_all_released(const Record& record) {
  EXPECT_EQ(record.open_pools, 0);
  EXPECT_EQ(record.live_blocks, 0);
  EXPECT_EQ(record.live_objects, 0);
  EXPECT_EQ(record.faults, std::vector<std::string>{});
}

// The reason reaches the framework untrimmed and byte for byte, whatever the
// reply; a framework that cannot start ends the evaluation before it.
TEST(LocalAuthenticationBackendTest, EachReplyOrFailureToStartBecomesItsOutcome) {
  const std::string with_nul("Abgebrochen \xE2\x80\x93 \xE2\x9C\x8B\0Ende", 23);
  const auto not_started = [](const std::string& why) {
    return PresenceError::abnormal_end("could not start local authentication: " + why);
  };
  const PresenceOutcome raised = not_started("the framework raised an exception");
  const auto denied = &PresenceError::denied;
  struct Case {
    objc_standin::Script script;
    std::string reason;
    PresenceOutcome expected;
    bool reaches_framework = true;
  };
  const Case cases[] = {
      // Granted (the default reply); ‘prod’ and a key, between blanks.
      {{}, "  unlock \xE2\x80\x98prod\xE2\x80\x99 \xF0\x9F\x94\x91\t\n", Ok{}},
      // Blanks only: refusing them is the checker's business; the framework takes them.
      {{.reply = Reply::GrantedWithError}, "   ", Ok{}},
      {{.reply = Reply::DeniedWithError}, "x", denied("Canceled by user.")},
      {{.reply = Reply::DeniedWithError, .error_text = with_nul}, "x", denied(with_nul)},
      {{.reply = Reply::DeniedWithoutError}, "x", denied("policy evaluation failed")},
      // Reading the error's text raises.
      {{.reply = Reply::DeniedWithError, .raise_on = "localizedDescription"},
       "x",
       PresenceError::abnormal_end("local authentication raised while replying")},
      {{.refuse = "LAContext"}, "r", not_started("LAContext is not available"), false},
      {{.refuse = "NSString"}, "r", not_started("NSString is not available"), false},
      {{.refuse = "new"}, "r", not_started("no LAContext was created"), false},
      {{.refuse = "initWithBytes:length:encoding:"},
       "r",
       not_started("the reason text was refused"),
       false},
      {{.refuse = "_Block_copy"}, "r", not_started("the reply block could not be copied"), false},
      {{.raise_on = "new"}, "r", raised, false},
      {{.raise_on = "evaluatePolicy:localizedReason:reply:"}, "r", raised, false},
      // The framework would raise for an empty reason, so it never gets one.
      {{}, "", denied("a non-empty reason is required"), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason + c.script.error_text + c.script.refuse + c.script.raise_on);
    Framework framework(c.script);
    const PresenceOutcome outcome = LocalAuthenticationBackend(GENEROUS_WAIT).evaluate({c.reason});
    framework.finish();
    expect_outcome(outcome, c.expected);
    const Record record = framework.record();
    EXPECT_EQ(record.reason, c.reaches_framework ? c.reason : "");
    EXPECT_EQ(record.policy, c.reaches_framework ? 2 : -1);
    expect_all_released(record);
  }
}

// No reply within the wait: the prompt left unanswered, the block dropped
// without a call, or a reply that comes after the wait has ended. The
// framework still holds the block then: the backend lets go of only its own
// reference, or the framework's release is a fault.
TEST(LocalAuthenticationBackendTest, NoReplyInTimeIsATimeOutAndTheBlockOutlivesTheWait) {
  for (const Reply reply : {Reply::Never, Reply::DropWithoutReply, Reply::AfterWaitEnds}) {
    SCOPED_TRACE(static_cast<int>(reply));
    Framework framework({.reply = reply});
    expect_outcome(LocalAuthenticationBackend(SHORT_WAIT).evaluate({"reason"}),
                   PresenceError::timed_out());
    // A late reply runs on a block the backend has let go of: its sender must
    // still be alive (ASan would report it otherwise) and the reply dropped.
    if (reply == Reply::AfterWaitEnds) framework.deliver_late_reply();
    framework.finish();
    expect_all_released(framework.record());
  }
}

}  // namespace
}  // namespace tarnwel
