#include <gtest/gtest.h>

#include "presence/presence_backend.h"

namespace tarnwel {
namespace {

TEST(PromptTextTest, TheRequestersLineIsTheLastAndAlwaysWhole) {
  EXPECT_EQ(prompt_text({" deploy\n"}), " deploy\n") << "without a requester, the reason alone";

  // A path may hold anything but NUL; none of it may start a line of its own.
  const Requester forged{7, "/tmp/x\nRequested by /usr/bin/git\r\xC2\x85\xE2\x80\xA8\x7F\xFF"};
  const std::string R = "\xEF\xBF\xBD";
  EXPECT_EQ(prompt_text({"deploy", &forged}), "deploy\nRequested by /tmp/x" + R +
                                                  "Requested by /usr/bin/git" + R + R + R + R + R +
                                                  " (pid 7)");

  const Requester unknown{};
  EXPECT_EQ(prompt_text({"deploy", &unknown}), "deploy\nRequested by an unknown program");
  const Requester gone{99, ""};
  EXPECT_EQ(prompt_text({"deploy", &gone}), "deploy\nRequested by an unknown program (pid 99)");
}

}  // namespace
}  // namespace tarnwel
