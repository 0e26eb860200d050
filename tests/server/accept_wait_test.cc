#include "server/accept_wait.h"

#include <gtest/gtest.h>

#include "base/unix_socket.h"
#include "server/shutdown_flag.h"
#include "support/agent_process.h"

namespace tarnwel {
namespace {

using std::chrono::hours;
using std::chrono::nanoseconds;

// What ended each wait says whether poll() saw the listener, the wake pipe,
// or neither: no clock is read.
TEST(AcceptWaitTest, AConnectionOrAStoppingRequestEndsTheWaitAndWakesDoNotPileUp) {
  testing::TempDir dir;
  const std::string path = dir.path() + "/agent.sock";
  Result<UniqueFd, SysError> listener = listen_unix(path);
  ASSERT_TRUE(listener.ok());
  ASSERT_TRUE(set_nonblocking(listener.value().get(), true).ok());
  Result<AcceptWait, SysError> made = AcceptWait::on_readiness(listener.value().get());
  ASSERT_TRUE(made.ok());
  const AcceptWait& idle = made.value();
  ASSERT_TRUE(idle.polls());
  EXPECT_EQ(idle.wait(nanoseconds(0)), WaitEnd::Time);
  EXPECT_EQ(idle.wait(-hours(1)), WaitEnd::Time) << "a deadline already passed";

  {
    const UniqueFd client = testing::connect_to(path);
    ASSERT_TRUE(client.valid());
    // The longest wait is asked for, and a pending connection ends it.
    EXPECT_EQ(idle.wait(hours(1)), WaitEnd::Connection);
    EXPECT_TRUE(accept_connection(listener.value().get()).valid());
    EXPECT_EQ(idle.wait(nanoseconds(0)), WaitEnd::Time);
  }

  // Setting the flag wakes no one: the request's reply comes first, and then
  // its connection wakes the loop. Many wakes never block their sender (the
  // pipe is non-blocking), and one wait uses them all up.
  ShutdownFlag flag(idle.waker());
  flag.set();
  EXPECT_EQ(idle.wait(nanoseconds(0)), WaitEnd::Time);
  for (int i = 0; i < 100'000; ++i) flag.wake_loop();
  EXPECT_EQ(idle.wait(hours(1)), WaitEnd::Wake);
  EXPECT_EQ(idle.wait(nanoseconds(0)), WaitEnd::Time);
}

}  // namespace
}  // namespace tarnwel
