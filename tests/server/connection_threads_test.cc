#include "server/connection_threads.h"

#include <poll.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <string>

#include <gtest/gtest.h>

#include "base/unix_socket.h"
#include "support/agent_process.h"
#include "support/fake_clock.h"

namespace tarnwel {
namespace {

// Threads over a listener of the test's, which plays the accept loop. Each
// connection is held until its client sends one byte, which the thread then
// records: every step waits for an event, never for a time.
class ConnectionThreadsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Result<UniqueFd, SysError> bound = listen_unix(path_);
    ASSERT_TRUE(bound.ok());
    listener_ = std::move(bound).value();
    ASSERT_TRUE(set_nonblocking(listener_.get(), true).ok());
    Result<WakePipe, SysError> pipe = WakePipe::open();
    ASSERT_TRUE(pipe.ok());
    loop_waker_ = std::make_shared<const WakePipe>(std::move(pipe).value());
    auto opened = ConnectionThreads::open(listener_.get(), clock_, loop_waker_,
                                          [this](UniqueFd s, const std::function<void()>&) {
                                            char byte;
                                            if (::read(s.get(), &byte, 1) != 1) return;
                                            const std::lock_guard lock(mutex_);
                                            served_ += byte;
                                            changed_.notify_all();
                                          });
    ASSERT_TRUE(opened.ok());
    threads_ = std::move(opened).value();
  }
  void TearDown() override { threads_->stop(); }

  UniqueFd client() { return testing::connect_to(path_); }
  // The byte that releases `stream`'s connection; true once a thread has it.
  bool release(const UniqueFd& stream, char byte) {
    EXPECT_EQ(::write(stream.get(), &byte, 1), 1);
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, testing::EVENT_LIMIT,
                             [&] { return served_.find(byte) != std::string::npos; });
  }
  bool loop_woken() {
    pollfd wait{loop_waker_->read_fd(), POLLIN, 0};
    const bool woken = ::poll(&wait, 1, static_cast<int>(testing::EVENT_LIMIT.count())) == 1;
    loop_waker_->drain();
    return woken;
  }
  bool idle_thread_leads() {
    return testing::wait_until([&] { return !threads_->main_watches(); });
  }

  testing::TempDir dir_;
  const std::string path_ = dir_.path() + "/agent.sock";
  UniqueFd listener_;
  testing::FakeClock clock_;
  std::shared_ptr<const WakePipe> loop_waker_;
  std::shared_ptr<ConnectionThreads> threads_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string served_;
};

// A thread that accepts a connection leaves the listener to the idle threads,
// else to the loop, so a held connection keeps no one waiting.
TEST_F(ConnectionThreadsTest, AThreadThatAcceptsHandsTheListenerOnToAnIdleThreadOrTheLoop) {
  const UniqueFd a = client();
  threads_->start(accept_connection(listener_.get()));
  ASSERT_TRUE(release(a, 'a'));
  ASSERT_TRUE(idle_thread_leads());

  clock_.advance(std::chrono::hours(1));
  const UniqueFd b = client();  // accepted by that thread, which no idle one can relieve
  EXPECT_TRUE(loop_woken());
  EXPECT_TRUE(threads_->main_watches());
  EXPECT_EQ(threads_->last_accept(), clock_.now());

  const UniqueFd c = client();  // b is held: the loop starts a thread for c
  threads_->start(accept_connection(listener_.get()));
  ASSERT_TRUE(release(c, 'c'));
  ASSERT_TRUE(idle_thread_leads());
  ASSERT_TRUE(release(b, 'b'));  // b's thread waits for its turn, or leads itself
  const UniqueFd d = client();
  const UniqueFd e = client();  // d is held: the other thread takes e
  EXPECT_TRUE(release(e, 'e'));
  EXPECT_TRUE(release(d, 'd'));

  threads_->stop();
  const UniqueFd f = client();
  EXPECT_TRUE(accept_connection(listener_.get()).valid()) << "accepted after stop()";
}

}  // namespace
}  // namespace tarnwel
