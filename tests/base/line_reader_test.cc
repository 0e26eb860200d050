#include "base/line_reader.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
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

// Counted by the handler, which is all it does (no SA_RESTART: a wait it
// interrupts fails with EINTR).
std::atomic<int> signals_handled{0};

// A signal during a poll is waited out; a read bounded by the receive
// time-out is not retried. The peer signals the reader again and again, so
// that however the threads are scheduled the signals find the reader waiting
// (one that comes before the wait is merely handled): until the read has
// failed, or, while a poll waits, a good many times before the line comes.
TEST(LineReaderTest, ASignalFailsOnlyAReadBoundedByTheReceiveTimeOut) {
  constexpr int INTERRUPTIONS = 20;
  struct sigaction count {};
  count.sa_handler = [](int) { signals_handled.fetch_add(1); };
  struct sigaction before {};
  ASSERT_EQ(::sigaction(SIGUSR1, &count, &before), 0);
  for (const WaitBy wait : {WaitBy::Poll, WaitBy::ReceiveTimeout}) {
    auto pair = testing::make_socket_pair();
    const pthread_t reader = ::pthread_self();
    signals_handled = 0;
    std::atomic<bool> returned{false};
    std::thread peer([&] {
      while (!returned && (wait == WaitBy::ReceiveTimeout || signals_handled < INTERRUPTIONS)) {
        ::pthread_kill(reader, SIGUSR1);
        std::this_thread::sleep_for(1ms);  // the pace of the signals, no guess at a delay
      }
      if (wait == WaitBy::Poll) testing::send_all(pair.peer.get(), "late\n");
    });
    const auto read =
        read_line(pair.ours.get(), MonotonicClock::now() + 15s, 8, LimitCounts::Line, wait);
    returned = true;
    peer.join();  // any signal still pending is handled before the handler goes
    if (wait == WaitBy::Poll) {
      EXPECT_EQ(outcome(read), "late");
    } else {
      ASSERT_FALSE(read.ok());
      EXPECT_EQ(read.error(), (LineReadFailure{Kind::ReadFailed, 0, SysError{EINTR}}));
    }
  }
  ::sigaction(SIGUSR1, &before, nullptr);
}

}  // namespace
}  // namespace tarnwel
