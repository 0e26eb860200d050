// Runs on macOS only: the LocalAuthentication backend against the real
// framework and runtimes. It asks with the biometrics-only policy, which a
// Mac without biometrics (as CI machines are) refuses at once with an error,
// so no prompt waits for anybody; the agent itself always asks for the device
// owner. On a Mac with Touch ID enrolled the framework prompts instead, and
// the test waits for an answer to it.
#include <chrono>

#include <gtest/gtest.h>

#include "base/utf8.h"
#include "presence/local_authentication_backend.h"

namespace tarnwel {
namespace {

TEST(LocalAuthenticationMacTest, RealFrameworkRefusesBiometricsWhereThereAreNone) {
  LocalAuthenticationBackend backend(
      std::chrono::seconds(60), LocalAuthenticationPolicy::DeviceOwnerAuthenticationWithBiometrics);
  // Twice: the second evaluation runs on the classes the first looked up.
  for (int round = 0; round < 2; ++round) {
    const PresenceOutcome outcome = backend.evaluate({"tarnwel-agent test: no prompt expected"});
    ASSERT_FALSE(outcome.ok());
    const PresenceError& error = outcome.error();
    ASSERT_EQ(error.kind(), PresenceError::Kind::Denied) << error.display();
    // The framework's own text, not one of the backend's failures.
    EXPECT_FALSE(error.is_abnormal_end()) << error.display();
    EXPECT_FALSE(error.denied_text().empty());
    EXPECT_NE(error.denied_text(), "policy evaluation failed");
    EXPECT_TRUE(is_valid_utf8(error.denied_text()));
  }
}

}  // namespace
}  // namespace tarnwel
