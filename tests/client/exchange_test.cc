// The client's transport against stand-in peers: nothing at the path, a stale
// socket, and listeners that misbehave in the ways a reply can.
#include <unistd.h>

#include <gtest/gtest.h>

#include "client/client.h"
#include "support/agent_harness.h"

namespace tarnwel {
namespace {

using namespace std::chrono_literals;

using client_testing::OneShotPeer;

class ClientTransportTest : public ::testing::Test {
 protected:
  testing::TempDir dir;
  std::string path = dir.path() + "/peer.sock";
  // Default limits wherever a reply is expected, so that a slow (sanitized)
  // build is never mistaken for a silent peer.
  Client client{path};
};

TEST_F(ClientTransportTest, NothingListeningOrASocketLeftBehindIsNoAgent) {
  const ClientError missing = client.ping().error();
  EXPECT_EQ(missing.kind, ClientError::Kind::NoAgent);
  EXPECT_NE(missing.message.find(path), std::string::npos);
  {  // a socket file left behind by an agent that is gone
    UniqueFd stale = listen_unix(path).value();
  }
  EXPECT_EQ(client.ping().error().kind, ClientError::Kind::NoAgent);
}

// Silent, closed at once or mid-reply, and longer than any reply may be.
TEST_F(ClientTransportTest, ASilentClosedOrOversizedReplyIsATransportFailure) {
  const std::tuple<std::string, bool, std::string> failures[] = {
      {"", true, "timed out waiting for the agent's reply"},
      {"", false, "the agent closed the connection without a reply"},
      {R"({"ok":tr)", false, "the agent closed the connection mid-reply"},
      {std::string(1'000'000, ' ') + "\n", false, "the agent's reply exceeds 1000000 bytes"}};
  for (const auto& [reply, hang, message] : failures) {
    ::unlink(path.c_str());
    OneShotPeer peer(path, reply, hang);
    const Client hasty(path, ReplyLimits{200ms, 200ms});
    Result<WipedBytes, ClientError> line = (hang ? hasty : client).request({{"cmd", "ping"}});
    ASSERT_FALSE(line.ok()) << message;
    EXPECT_EQ(line.error().kind, ClientError::Kind::Transport);
    EXPECT_EQ(line.error().message, message);
  }
}

// Only the first line counts; what follows it is dropped.
TEST_F(ClientTransportTest, TheReplyLineComesBackExactlyUpToTheLimit) {
  const std::string exact = std::string(999'999, ' ');
  OneShotPeer peer(path, exact + "\n{\"ok\":true}\n");
  Result<WipedBytes, ClientError> line = client.request({{"cmd", "ping"}});
  ASSERT_TRUE(line.ok()) << describe(line.error());
  EXPECT_EQ(as_view(line.value()), exact);
}

TEST_F(ClientTransportTest, AReplyWithoutAMemberItMustHaveFailsTheCallNamingIt) {
  OneShotPeer peer(path, "{\"ok\":true,\"agent_pid\":\"x\"}\n");
  const ClientError bad = client.ping().error();
  EXPECT_EQ(bad.kind, ClientError::Kind::Protocol);
  EXPECT_EQ(bad.message, "the reply has no unsigned integer \"protocol_version\"");
}

}  // namespace
}  // namespace tarnwel
