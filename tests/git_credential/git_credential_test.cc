// git-credential-tarnwel end to end: the helper as git runs it, against the
// real agent, which the helper starts for "store".
#include <gtest/gtest.h>

#include "base/executable_search.h"
#include "client/client.h"
#include "support/agent_harness.h"

namespace tarnwel {
namespace {

using client_testing::CtlResult;

class GitCredentialTest : public client_testing::SandboxTest {
 protected:
  CtlResult helper(const std::vector<std::string>& args, const std::string& input) {
    return client_testing::run_program(GIT_CREDENTIAL_PATH_FOR_TESTS, args, input, environment());
  }

  Client client{socket_path()};
};

TEST_F(GitCredentialTest, StoresGetsAndErasesOneCredentialPerHost) {
  const std::string host = "protocol=https\nhost=example.com\n";
  // Without an agent there is nothing to get, which is not an error.
  EXPECT_EQ(helper({"get"}, host), (CtlResult{0, "", ""}));

  ASSERT_EQ(helper({"--ttl", "8h", "store"},
                   host + "username=ann\npassword=pa=ss word\nwwwauth[]=Basic\n\n"),
            (CtlResult{0, "", ""}));
  EXPECT_EQ(client.status().value().cached_profiles,
            std::vector<std::string>{"git:https://example.com"});

  const CtlResult got{0, "username=ann\npassword=pa=ss word\n", ""};
  EXPECT_EQ(helper({"get"}, host + "\n"), got);
  EXPECT_EQ(helper({"get"}, host + "username=ann\n"), got);
  // Another account, another host or another path is another credential.
  EXPECT_EQ(helper({"get"}, host + "username=bob\n").out, "");
  EXPECT_EQ(helper({"get"}, "protocol=https\nhost=example.org\n").out, "");
  EXPECT_EQ(helper({"get"}, host + "path=team/repo.git\n").out, "");
  // Nothing to keep without a password; actions git may add are ignored.
  EXPECT_EQ(helper({"store"}, "protocol=https\nhost=example.org\nusername=ann\n").status, 0);
  EXPECT_EQ(helper({"capability"}, "").status, 0);
  EXPECT_EQ(client.status().value().cached_profiles.size(), 1u);

  EXPECT_EQ(helper({"erase"}, host + "username=bob\n").status, 0);  // not bob's
  EXPECT_EQ(helper({"get"}, host), got);
  EXPECT_EQ(helper({"erase"}, host).status, 0);
  EXPECT_EQ(helper({"get"}, host).out, "");

  EXPECT_EQ(helper({"--ttl", "0", "store"}, host).status, 1);
  EXPECT_EQ(helper({}, "").status, 2);
  const CtlResult help = helper({"--help"}, "");
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(help.out.starts_with("usage: git-credential-tarnwel [--ttl DURATION]"));
  EXPECT_EQ(help.err, "");
  EXPECT_EQ(helper({"get"}, "no equals sign\n").status, 1);
}

// git itself drives the helper: it stores a credential back after every use,
// which must not ask again, while a changed password must.
TEST_F(GitCredentialTest, GitStoringTheSameCredentialAgainAsksOnce) {
  const std::optional<std::string> git = find_on_path("git", "/usr/bin:/bin:/usr/local/bin");
  if (!git) GTEST_SKIP() << "git is not installed";
  std::vector<std::string> env = environment();
  env.insert(env.end(), {"HOME=" + dir(), "GIT_CONFIG_NOSYSTEM=1", "GIT_TERMINAL_PROMPT=0"});
  const auto run_git = [&](const std::string& action, const std::string& input) {
    return client_testing::run_program(
        *git, {"-c", std::string("credential.helper=") + GIT_CREDENTIAL_PATH_FOR_TESTS, "credential",
               action},
        input, env);
  };
  const std::string host = "protocol=https\nhost=example.com\n";
  const std::string one = host + "username=ann\npassword=one\n";
  ASSERT_EQ(run_git("approve", one + "\n"), (CtlResult{0, "", ""}));
  ASSERT_EQ(run_git("approve", one + "\n"), (CtlResult{0, "", ""}));
  EXPECT_EQ(askpass.runs().size(), 1u);
  EXPECT_EQ(run_git("fill", host + "\n"), (CtlResult{0, one, ""}));

  const std::string two = host + "username=ann\npassword=two\n";
  ASSERT_EQ(run_git("approve", two + "\n").status, 0);
  EXPECT_EQ(askpass.runs().size(), 2u);
  EXPECT_EQ(run_git("fill", host + "\n").out, two);
  // Denied, the changed password is not kept and the old one is.
  askpass.answer(1, "no");
  ASSERT_EQ(run_git("approve", host + "username=ann\npassword=three\n\n").status, 0);
  EXPECT_EQ(askpass.runs().size(), 3u);
  EXPECT_EQ(run_git("fill", host + "\n").out, two);
}

}  // namespace
}  // namespace tarnwel
