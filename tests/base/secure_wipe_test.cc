#include "base/secure_wipe.h"

#if defined(__linux__)
#include <sys/resource.h>
#endif

#include <cstdint>
#include <thread>

#include <gtest/gtest.h>

namespace tarnwel {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TARNWEL_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TARNWEL_SANITIZED 1
#endif
#endif

constexpr std::uint64_t PATTERN = 0xa5a5'a5a5'a5a5'a5a5;

// Room for wipe_stack's own frame: saved registers, its few locals, padding.
constexpr std::uintptr_t OWN_FRAME = 256;

struct Span {
  std::uintptr_t low = 0;
  std::uintptr_t high = 0;
};

// Leaves `PATTERN` in a frame below the caller's and says where it was.
[[gnu::noinline]] void leave_pattern(Span& left) {
  volatile std::uint64_t words[2048];  // 16 KiB
  for (auto& word : words) word = PATTERN;
  left = {reinterpret_cast<std::uintptr_t>(&words[0]),
          reinterpret_cast<std::uintptr_t>(&words[2048])};
}

// How many words of the dead frame still hold the pattern.
[[gnu::noinline]] int pattern_left(Span span) {
  int left = 0;
  for (auto at = span.low; at < span.high; at += sizeof(std::uint64_t)) {
    if (*reinterpret_cast<const volatile std::uint64_t*>(at) == PATTERN) ++left;
  }
  return left;
}

// Reading a dead frame and counting faults are beyond what a sanitizer's
// instrumented frames and calls leave as they are.
#if defined(TARNWEL_SANITIZED)
#define SKIP_IF_SANITIZED() GTEST_SKIP() << "sanitizers add frames and calls of their own"
#else
#define SKIP_IF_SANITIZED() (void)0
#endif

// Each case runs on a fresh thread, whose stack below the first frames is
// either never touched or handed back by glibc, as a connection thread's is.
template <class Body>
void on_fresh_thread(Body body) {
  std::thread(body).join();
}

TEST(WipeStackTest, ZeroesWhatEarlierCallsLeftBelowTheCallersFrame) {
  SKIP_IF_SANITIZED();
  on_fresh_thread([] {
    Span left;
    leave_pattern(left);
    // The check sees the pattern where nothing wiped it.
    EXPECT_GT(pattern_left(left), 2000);
    leave_pattern(left);
    wipe_stack(32 * 1024);
    // What lies just under the caller's frame is the wipe's own frame while
    // it runs, whose padding may keep an old word or two.
    EXPECT_EQ(pattern_left({left.low, left.high - OWN_FRAME}), 0);
  });
}

#if defined(__linux__)
// Touches the few pages just below the caller's frame, where the wipe's own
// frame and its calls will lie.
[[gnu::noinline]] void touch_below() {
  volatile unsigned char bytes[8192];
  for (std::size_t i = 0; i < sizeof bytes; i += 512) bytes[i] = 1;
}

long minor_faults_of_this_thread() {
  rusage usage{};
  (void)::getrusage(RUSAGE_THREAD, &usage);
  return usage.ru_minflt;
}

TEST(WipeStackTest, FaultsInNoPageTheCallerNeverTouched) {
  SKIP_IF_SANITIZED();
  // Symbols bound and statics set up before anything is counted.
  wipe_stack(MAX_STACK_WIPE);
  (void)minor_faults_of_this_thread();
  on_fresh_thread([] {
    touch_below();
    const long before = minor_faults_of_this_thread();
    wipe_stack(MAX_STACK_WIPE);
    const long after = minor_faults_of_this_thread();
    EXPECT_EQ(after - before, 0);
  });
}
#endif

}  // namespace
}  // namespace tarnwel
