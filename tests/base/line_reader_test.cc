#include "base/line_reader.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>

#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "support/socket_pair.h"

namespace tarnwel {
namespace {

using namespace std::chrono_literals;
using Kind = LineReadFailure::Kind;

std::string outcome(const Result<WipedBytes, LineReadFailure>& read) {
  if (read.ok()) return std::string(as_view(read.value()));
  return "kind " + std::to_string(static_cast<int>(read.error().kind)) + ", " +
         std::to_string(read.error().bytes) + " bytes";
}

std::string failed(Kind kind, std::size_t bytes) { return outcome(LineReadFailure{kind, bytes}); }

// What read_line, with a limit of 8 bytes, makes of `bytes` sent at once by a
// peer that then closes.
std::string outcome(std::string_view bytes, LimitCounts counts) {
  auto pair = testing::make_socket_pair();
  testing::send_all(pair.peer.get(), bytes);
  pair.peer.reset();
  return outcome(read_line(pair.ours.get(), MonotonicClock::now() + 5s, 8, counts));
}

TEST(LineReaderTest, TheLimitHoldsAtItsEdgeAsEachCountingCountsIt) {
  for (LimitCounts counts : {LimitCounts::Received, LimitCounts::Line}) {
    EXPECT_EQ(outcome("1234567\n", counts), "1234567");
    EXPECT_EQ(outcome("12345678\n", counts), failed(Kind::TooLarge, 9));
    // Without its newline, a line at the limit is not over it.
    EXPECT_EQ(outcome("12345678", counts), failed(Kind::ClosedMidLine, 8));
  }
  // A byte after the newline, in the same read, counts only where all do.
  EXPECT_EQ(outcome("1234567\nX", LimitCounts::Received), failed(Kind::TooLarge, 9));
  EXPECT_EQ(outcome("1234567\nX", LimitCounts::Line), "1234567");
}

// A signal during a poll is waited out; a read bounded by the receive
// time-out is not retried.
TEST(LineReaderTest, ASignalFailsOnlyAReadBoundedByTheReceiveTimeOut) {
  struct sigaction ignore {};
  ignore.sa_handler = [](int) {};  // no SA_RESTART: the wait fails with EINTR
  struct sigaction before {};
  ASSERT_EQ(::sigaction(SIGUSR1, &ignore, &before), 0);
  for (const WaitBy wait : {WaitBy::Poll, WaitBy::ReceiveTimeout}) {
    auto pair = testing::make_socket_pair();
    const pthread_t reader = ::pthread_self();
    std::thread peer([&] {
      std::this_thread::sleep_for(50ms);
      ::pthread_kill(reader, SIGUSR1);
      std::this_thread::sleep_for(50ms);
      testing::send_all(pair.peer.get(), "late\n");
    });
    const auto read =
        read_line(pair.ours.get(), MonotonicClock::now() + 5s, 8, LimitCounts::Line, wait);
    peer.join();
    if (wait == WaitBy::Poll) {
      EXPECT_EQ(outcome(read), "late");
    } else {
      ASSERT_FALSE(read.ok());
      EXPECT_EQ(read.error(), (LineReadFailure{Kind::ReadFailed, 0, EINTR}));
    }
  }
  ::sigaction(SIGUSR1, &before, nullptr);
}

}  // namespace
}  // namespace tarnwel
