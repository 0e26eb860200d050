#include "secret_cache/locked_secret.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "base/os_error.h"
#include "secret_cache/locked_secret_testing.h"
#include "secret_cache/secret_cache.h"
#include "support/fake_clock.h"
#include "support/fake_presence_backend.h"

namespace tarnwel {
namespace {

const std::size_t PAGE = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));

// ASan and TSan replace mlock and munlock with calls that succeed and lock nothing.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool MLOCK_IS_A_NO_OP = true;
#elif defined(__has_feature)
constexpr bool MLOCK_IS_A_NO_OP =
    __has_feature(address_sanitizer) || __has_feature(thread_sanitizer);
#else
constexpr bool MLOCK_IS_A_NO_OP = false;
#endif

struct Release {
  std::size_t mapped;
  std::size_t secret_size;
  bool all_zero;
};
std::vector<Release> releases;

class LockedSecretTest : public ::testing::Test {
 protected:
  LockedSecretTest() {
    releases.clear();
    testing::set_release_observer([](std::string_view pages, std::size_t size) {
      releases.push_back(
          {pages.size(), size, pages.find_first_not_of('\0') == std::string_view::npos});
    });
  }
  ~LockedSecretTest() override { testing::set_release_observer(nullptr); }
};

// kB of the mapping holding `address` that /proc/self/smaps reports as locked.
std::optional<std::size_t> locked_kb_at(const void* address) {
  std::ifstream smaps("/proc/self/smaps");
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  bool inside = false;
  for (std::string line; std::getline(smaps, line);) {
    std::uintptr_t start = 0, end = 0;
    char dash = 0;
    if (std::istringstream header(line);
        header >> std::hex >> start >> dash >> end && dash == '-') {
      inside = start <= at && at < end;
    } else if (inside && line.starts_with("Locked:")) {
      return std::stoul(line.substr(7));
    }
  }
  return std::nullopt;
}

TEST_F(LockedSecretTest, CopiesIntoLockedPagesOfItsOwnAndMovesLeaveTheSourceEmpty) {
  const std::string source = "hunter2";
  LockedSecret secret(source);
  EXPECT_EQ(secret.bytes(), source);
  EXPECT_NE(secret.bytes().data(), source.data());
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(secret.bytes().data()) % PAGE, 0u);
  EXPECT_TRUE(secret.locked());

  LockedSecret moved(std::move(secret));
  EXPECT_EQ(moved.bytes(), "hunter2");
  EXPECT_TRUE(secret.bytes().empty());  // NOLINT(bugprone-use-after-move): the state is the point
  LockedSecret target("x");
  target = std::move(moved);
  EXPECT_EQ(target.bytes(), "hunter2");
  EXPECT_EQ(moved.size(), 0u);     // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(releases.size(), 1u);  // the old "x", and nothing for the emptied sources

  LockedSecret empty("");
  EXPECT_TRUE(empty.locked());
  EXPECT_TRUE(empty.copy().bytes().empty());
}

TEST_F(LockedSecretTest, WipesEveryByteBeforeThePagesGoBack) {
  {
    LockedSecret one("x");
    LockedSecret two_pages(std::string(PAGE + 1, 's'));
    LockedSecret copy = two_pages.copy();
    LockedSecret empty("");
  }
  ASSERT_EQ(releases.size(), 3u);  // an empty secret has no pages
  for (const Release& r : releases) {
    EXPECT_TRUE(r.all_zero);
    EXPECT_EQ(r.mapped, r.secret_size == 1 ? PAGE : 2 * PAGE);
  }

  char buffer[] = "abcdef";
  secure_wipe(buffer, 3);
  EXPECT_EQ(std::string(buffer, 6), std::string("\0\0\0def", 6));
}

TEST_F(LockedSecretTest, DestroyingOneSecretLeavesItsNeighbourLocked) {
  if (MLOCK_IS_A_NO_OP) GTEST_SKIP() << "the sanitizers do not lock memory";
  std::optional<LockedSecret> first(LockedSecret("a"));
  LockedSecret second("b");
  if (!second.locked() || !locked_kb_at(second.bytes().data()))
    GTEST_SKIP() << "no memory lock or no smaps";
  EXPECT_GE(*locked_kb_at(second.bytes().data()), PAGE / 1024);
  first.reset();
  EXPECT_GE(*locked_kb_at(second.bytes().data()), PAGE / 1024);
}

// Root may lock past any limit, so the child gives up root first; Linux then
// refuses every mlock with EPERM under a zero limit.
TEST_F(LockedSecretTest, EveryFailedLockWarnsAndTheSecretStaysUsable) {
#if !defined(__linux__)
  GTEST_SKIP() << "relies on Linux's RLIMIT_MEMLOCK";
#endif
  if (MLOCK_IS_A_NO_OP) GTEST_SKIP() << "the sanitizers never fail mlock";
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to switch to an unprivileged uid";
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const rlimit none{0, 0};
    if (::setrlimit(RLIMIT_MEMLOCK, &none) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
      ::_exit(10);
    if (::dup2(pipe_fds[1], STDERR_FILENO) < 0) ::_exit(11);
    const auto child = [] {
      if (!LockedSecret("").locked()) return 12;
      LockedSecret alpha("alpha"), beta("beta");
      if (alpha.locked() || beta.locked() || alpha.bytes() != "alpha" || beta.bytes() != "beta")
        return 13;
      if (::write(STDERR_FILENO, "--\n", 3) != 3) return 14;
      SecretCache cache(DEFAULT_TTL, std::make_unique<testing::FakePresenceBackend>(),
                        std::make_shared<testing::FakeClock>());
      if (!cache.unlock("a", "r", std::move(alpha), std::nullopt).ok()) return 15;
      if (!cache.unlock("b", "r", std::move(beta), std::nullopt).ok()) return 16;
      std::optional<LockedSecret> a = cache.get("a"), b = cache.get("b");  // each copy warns too
      return a && b && a->bytes() == "alpha" && b->bytes() == "beta" ? 0 : 17;
    };
    ::_exit(child());
  }
  ::close(pipe_fds[1]);
  std::string output;
  char buffer[512];
  for (ssize_t n; (n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0;) output.append(buffer, n);
  ::close(pipe_fds[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);

  const std::string warning = "tarnwel-agent: mlock failed (" + os_error_text(EPERM) +
                              "); continuing without it (best-effort only)\n";
  EXPECT_EQ(output, warning + warning + "--\n" + warning + warning);
}

}  // namespace
}  // namespace tarnwel
