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

  const std::string host = "protocol=https\nhost=example.com\n";
};

// As git's own helpers: an action it may add later is ignored, and getting
// from no agent finds nothing, which is no error either.
TEST_F(GitCredentialTest, ExitStatusesTellUsageAndInputErrorsApart) {
  EXPECT_EQ(helper({"get"}, host), (CtlResult{0, "", ""}));
  const std::string usage =
      "usage: git-credential-tarnwel [--ttl DURATION] [--wait] get|store|erase\n       (as git "
      "runs it; set it up with: git config credential.helper tarnwel)\n";
  const std::tuple<std::vector<std::string>, std::string, CtlResult> cases[] = {
      {{"capability"}, "", {0, "", ""}},
      {{"--ttl", "0", "store"},
       "",
       {1, "",
        "git-credential-tarnwel: --ttl takes a duration such as 3600, 90s, 30m, 8h or 2d\n"}},
      {{"get"},
       "no equals sign\n",
       {1, "", "git-credential-tarnwel: not a key=value line: no equals sign\n"}},
      {{}, "", {2, "", usage}},
  };
  for (const auto& [args, input, result] : cases) {
    EXPECT_EQ(helper(args, input), result) << ::testing::PrintToString(args);
  }
  const CtlResult help = helper({"--help"}, "");
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(help.out.starts_with(usage + "\n")) << help.out;
}

TEST_F(GitCredentialTest, KeepsOneEntryPerUrlAndUsername) {
  const std::string ann = "username=ann\npassword=pa=ss word\n";
  const std::string bob =
      "username=b@b/x\npassword=two\npassword_expiry_utc=4102444800\noauth_refresh_token=r\n";
  ASSERT_EQ(helper({"--ttl", "8h", "store"}, host + ann + "wwwauth[]=Basic\n\n"),
            (CtlResult{0, "", ""}));
  EXPECT_EQ(helper({"get"}, host), (CtlResult{0, ann, ""}));  // the URL's one entry
  ASSERT_EQ(helper({"store"}, host + bob).status, 0);
  EXPECT_EQ(client.status().value().cached_profiles,
            (std::vector<std::string>{"git:https://ann@example.com",
                                      "git:https://b%40b%2Fx@example.com"}));
  EXPECT_EQ(helper({"get"}, host).out, "");  // either could be meant: git asks which
  EXPECT_EQ(helper({"get"}, host + "username=ann\n").out, ann);
  EXPECT_EQ(helper({"get"}, host + "username=b@b/x\n").out, bob);
  for (const std::string& other :
       {std::string("protocol=https\nhost=example.org\n"), "protocol=http\n" + host.substr(15),
        std::string("protocol=https\nhost=example.com:8443\n"), host + "path=a.git\n"}) {
    EXPECT_EQ(helper({"get"}, other + "username=ann\n").out, "") << other;
  }
}

// Neither store starts an agent for it.
TEST_F(GitCredentialTest, KeepsNothingWithoutAPasswordOrWithOneExpiredAlready) {
  const std::string cy = host + "username=cy\n";
  EXPECT_EQ(helper({"store"}, cy), (CtlResult{0, "", ""}));
  EXPECT_EQ(helper({"store"}, cy + "password=p\npassword_expiry_utc=9\n"), (CtlResult{0, "", ""}));
  EXPECT_EQ(client.ping().error().kind, ClientError::Kind::NoAgent);
}

// A rejected stale password leaves the newer one; the right one, or none, erases.
TEST_F(GitCredentialTest, EraseForgetsOnlyAnEntryWhosePasswordIsTheOneGiven) {
  const std::string ann = "username=ann\npassword=one\n";
  const std::string bob = "username=bob\npassword=two\n";
  ASSERT_EQ(helper({"store"}, host + ann).status, 0);
  ASSERT_EQ(helper({"store"}, host + bob).status, 0);
  EXPECT_EQ(helper({"erase"}, host + "username=ann\npassword=stale\n").status, 0);
  EXPECT_EQ(helper({"get"}, host + "username=ann\n").out, ann);
  EXPECT_EQ(helper({"erase"}, host + "password=one\n").status, 0);
  EXPECT_EQ(helper({"get"}, host).out, bob);
  EXPECT_EQ(helper({"erase"}, host).status, 0);
  EXPECT_EQ(client.status().value().cached_profiles.size(), 0u);
}

// An entry kept by an earlier release, one per URL, answers for its username
// until that username stores its own; an expired one answers nobody.
TEST_F(GitCredentialTest, LegacyEntriesKeepWorkingUntilReplaced) {
  const std::string legacy = "git:https://example.com";
  start_agent(environment());
  ASSERT_TRUE(
      client.unlock("git:https://x.org", "r", "username=e\npassword=p\npassword_expiry_utc=9\n")
          .ok());
  EXPECT_EQ(helper({"get"}, "protocol=https\nhost=x.org\n").out, "");
  const std::string old = "username=ann\npassword=one\n";
  ASSERT_TRUE(client.unlock(legacy, "r", old).ok());
  EXPECT_EQ(helper({"get"}, host).out, old);
  EXPECT_EQ(helper({"get"}, host + "username=ann\n").out, old);
  EXPECT_EQ(helper({"get"}, host + "username=bob\n").out, "");
  ASSERT_EQ(helper({"store"}, host + old).status, 0);  // held already: not asked again
  EXPECT_EQ(askpass.runs().size(), 2u);
  ASSERT_EQ(helper({"store"}, host + "username=ann\npassword=two\n").status, 0);
  EXPECT_EQ(client.status().value().cached_profiles,
            (std::vector<std::string>{"git:https://ann@example.com", "git:https://x.org"}));
}

// From a script, a question that only the helper's terminal could answer is
// declined at once, saying what to do, rather than waited for.
TEST_F(GitCredentialTest, AStoreNobodyCanConfirmIsDeclinedAtOnce) {
  const std::optional<std::string> setsid = find_on_path("setsid", "/usr/bin:/bin");
  if (!setsid) GTEST_SKIP() << "setsid is not installed";
  start_agent(environment(/*with_askpass=*/false));  // its own askpass asks at a terminal
  EXPECT_EQ(client_testing::run_program(*setsid, {"-w", GIT_CREDENTIAL_PATH_FOR_TESTS, "store"},
                                        "protocol=https\nhost=h\nusername=ann\npassword=p\n",
                                        environment(false)),
            (CtlResult{1, "",
                       "git-credential-tarnwel: nobody can confirm \"git: keep the password of ann "
                       "for https://h\" without a terminal, so nothing was stored; run git at a "
                       "terminal, or give the helper --wait (credential.helper 'tarnwel --wait') "
                       "and answer with 'tarnwelctl confirm'\n"}));
  EXPECT_TRUE(client.status().value().cached_profiles.empty());
}

// git itself drives the helper: it stores a credential back after every use,
// which must not ask again, while a changed password must. (git's "reject"
// is the helper's erase, as EraseForgetsOnlyAnEntryWhosePasswordIsTheOneGiven
// drives it.)
TEST_F(GitCredentialTest, GitStoringTheSameCredentialAgainAsksOnce) {
  const std::optional<std::string> git = find_on_path("git", "/usr/bin:/bin:/usr/local/bin");
  if (!git) GTEST_SKIP() << "git is not installed";
  std::vector<std::string> env = environment();
  env.insert(env.end(), {"HOME=" + dir(), "GIT_CONFIG_NOSYSTEM=1", "GIT_TERMINAL_PROMPT=0"});
  const auto run_git = [&](const std::string& action, const std::string& input) {
    return client_testing::run_program(
        *git, {"-c", "credential.helper=" GIT_CREDENTIAL_PATH_FOR_TESTS, "credential", action},
        input, env);
  };
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
