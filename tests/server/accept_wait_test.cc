#include "server/accept_wait.h"

#include <gtest/gtest.h>

#include "base/unix_socket.h"
#include "server/shutdown_flag.h"
#include "support/agent_process.h"

namespace tarnwel {
namespace {

using std::chrono::hours;
using std::chrono::nanoseconds;

// Whether poll() saw the listener, the wake pipe or neither shows in what the
// wait allows next: an accept only after a connection, idling only after
// nothing. No clock is read: a wait for an hour that ends by the time would
// still end after LONGEST_IDLE_WAIT, and then allow no accept.
TEST(AcceptWaitTest, AcceptsOnlyAfterAWaitSawAConnectionAndIdlesOnlyAfterOneSawNothing) {
  testing::TempDir dir;
  const std::string path = dir.path() + "/agent.sock";
  Result<UniqueFd, SysError> listener = listen_unix(path);
  ASSERT_TRUE(listener.ok());
  ASSERT_TRUE(set_nonblocking(listener.value().get(), true).ok());
  Result<AcceptWait, SysError> made = AcceptWait::on_readiness(listener.value().get());
  ASSERT_TRUE(made.ok());
  AcceptWait& idle = made.value();

  const UniqueFd first = testing::connect_to(path), second = testing::connect_to(path);
  ASSERT_TRUE(first.valid() && second.valid());
  EXPECT_FALSE(idle.accept().valid()) << "no wait has seen a connection yet";
  EXPECT_TRUE(idle.idled());
  idle.wait(hours(1));
  EXPECT_FALSE(idle.idled());
  EXPECT_TRUE(idle.accept().valid());
  EXPECT_FALSE(idle.accept().valid()) << "the next wait tells whether another is pending";
  idle.wait(hours(1));
  // Seen, then taken by another thread: not a readiness to back off from,
  // the next wait sees the next connection at once.
  EXPECT_TRUE(accept_connection(listener.value().get()).valid());
  EXPECT_FALSE(idle.accept().valid());
  EXPECT_FALSE(idle.idled());
  const UniqueFd third = testing::connect_to(path);
  idle.wait(hours(1));
  EXPECT_TRUE(idle.accept().valid());
  idle.wait(-hours(1));
  EXPECT_TRUE(idle.idled()) << "a deadline already passed";

  // Setting the flag wakes no one: the request's reply comes first, and then
  // its connection wakes the loop. Many wakes never block their sender (the
  // pipe is non-blocking), and one wait uses them all up.
  ShutdownFlag flag(idle.waker());
  flag.set();
  idle.wait(nanoseconds(0));
  EXPECT_TRUE(idle.idled());
  for (int i = 0; i < 100'000; ++i) flag.wake_loop();
  idle.wait(hours(1));
  EXPECT_FALSE(idle.idled());
  EXPECT_FALSE(idle.accept().valid()) << "a wake is no connection";
  idle.wait(nanoseconds(0));
  EXPECT_TRUE(idle.idled());
}

}  // namespace
}  // namespace tarnwel
