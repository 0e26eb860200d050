#include "secret_cache/locked_secret.h"

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/os_error.h"
#include "secret_cache/locked_secret_testing.h"
#include "support/sanitizers.h"
#if defined(__linux__)
#include "stress/other_user.h"
#include "stress/process_inspection.h"
#include "support/agent_harness.h"
#include "support/needs_root.h"
#endif
#if defined(TARNWEL_TESTS_UNDER_ASAN)
#include <sanitizer/asan_interface.h>
#endif

namespace tarnwel {
namespace {

const std::size_t PAGE = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
const std::size_t LARGEST_SLOT = testing::largest_arena_slot();

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

// The memory a secret of `size` bytes occupies: the smallest power-of-two slot
// of at least 16 bytes, or whole pages of its own beyond the largest slot.
std::size_t occupied_by(std::size_t size) {
  if (size > LARGEST_SLOT) return (size + PAGE - 1) / PAGE * PAGE;
  std::size_t slot = 16;
  while (slot < size) slot *= 2;
  return slot;
}

TEST_F(LockedSecretTest, CopiesIntoLockedMemoryAndMovesLeaveTheSourceEmpty) {
  const std::string source = "hunter2";
  LockedSecret secret(source);
  EXPECT_EQ(secret.bytes(), source);
  EXPECT_TRUE(secret.locked());

  LockedSecret moved(std::move(secret));
  EXPECT_EQ(moved.bytes(), "hunter2");
  EXPECT_TRUE(secret.bytes().empty());  // NOLINT(bugprone-use-after-move): the state is the point
  LockedSecret target("x");
  target = std::move(moved);
  EXPECT_EQ(target.bytes(), "hunter2");
  EXPECT_EQ(moved.size(), 0u);     // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(releases.size(), 1u);  // the old "x", and nothing for the emptied sources
}

TEST_F(LockedSecretTest, WipesEveryByteBeforeTheMemoryGoesBack) {
  const std::size_t large = LARGEST_SLOT + 1;
  const char* one_was = nullptr;
  {
    LockedSecret one("x");
    one_was = one.bytes().data();
    LockedSecret two_pages(std::string(PAGE + 1, 's'));
    LockedSecret copy = two_pages.copy();
    LockedSecret alone(std::string(large, 'l'));
    LockedSecret empty("");
    EXPECT_TRUE(empty.locked() && empty.copy().bytes().empty());
  }
  ASSERT_EQ(releases.size(), 4u);  // an empty secret has no memory
  for (const Release& r : releases) {
    EXPECT_TRUE(r.all_zero) << r.secret_size;
    EXPECT_EQ(r.mapped, occupied_by(r.secret_size)) << r.secret_size;
  }
#if defined(TARNWEL_TESTS_UNDER_ASAN)
  // A released slot is poisoned: a use after release is reported.
  EXPECT_TRUE(__asan_address_is_poisoned(one_was));
#else
  (void)one_was;
#endif

  // A new secret of the same size reuses a released slot (wiped, as above)
  // rather than taking more memory.
  const char* first = nullptr;
  {
    LockedSecret a("abcdefgh");
    first = a.bytes().data();
  }
  LockedSecret b("z");
  EXPECT_EQ(b.bytes().data(), first);
}

// Threads that take and give back slots of every size at once never see one
// another's bytes, and chunks that empty out are given back without harm.
TEST_F(LockedSecretTest, ThreadsShareTheArenaWithoutSharingSlots) {
  testing::set_release_observer(nullptr);  // the observer's list is not thread-safe
  const std::size_t sizes[] = {1, 16, 17, 32, 100, PAGE, PAGE + 1, LARGEST_SLOT, LARGEST_SLOT + 1};
  std::vector<std::thread> threads;
  std::atomic<int> mismatches{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::vector<LockedSecret> held;
      for (int round = 0; round < 300; ++round) {
        const std::size_t size = sizes[static_cast<std::size_t>(round + t) % std::size(sizes)];
        const std::string bytes(size, static_cast<char>('a' + t));
        held.emplace_back(bytes);
        if (held.size() > 40) held.erase(held.begin(), held.begin() + 30);  // chunks empty out
        for (const LockedSecret& s : held) {
          if (s.bytes().find_first_not_of(static_cast<char>('a' + t)) != std::string_view::npos)
            ++mismatches;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
}

#if defined(__linux__)
// ASan and TSan replace mlock and munlock with calls that succeed and lock nothing.
constexpr bool MLOCK_IS_A_NO_OP = testing::UNDER_SANITIZER;

// The mapping of this process that holds `address`, and whether mappings
// without access border it on both sides.
std::optional<std::pair<testing::Mapping, bool>> mapping_at(const void* address) {
  const std::vector<testing::Mapping> all = testing::mappings_of(::getpid());
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  const auto guard = [&](std::size_t i) {
    return all[i].line.compare(all[i].line.find(' ') + 1, 3, "---") == 0;
  };
  for (std::size_t i = 1; i + 1 < all.size(); ++i) {
    if (at < all[i].start || all[i].end <= at) continue;
    return std::pair(all[i], all[i - 1].end == all[i].start && guard(i - 1) &&
                                 all[i + 1].start == all[i].end && guard(i + 1));
  }
  return std::nullopt;
}

TEST_F(LockedSecretTest, ArenaMemoryIsFencedKeptOutOfCoreFilesAndNeighboursStayLocked) {
  std::optional<LockedSecret> first(LockedSecret("a"));
  LockedSecret second("b");
  LockedSecret alone(std::string(LARGEST_SLOT + 1, 'l'));
  const auto shared = mapping_at(second.bytes().data());
  const auto own = mapping_at(alone.bytes().data());
  if (!shared || !own) GTEST_SKIP() << "no smaps";
  for (const auto& [mapping, fenced] : {*shared, *own}) {
    EXPECT_TRUE(fenced) << mapping.line;
    EXPECT_NE(mapping.vm_flags.find(" dd "), std::string::npos) << mapping.vm_flags;
  }

  if (MLOCK_IS_A_NO_OP) GTEST_SKIP() << "the sanitizers do not lock memory";
  if (!second.locked()) GTEST_SKIP() << "no memory lock";
  for (const testing::Mapping& m : {shared->first, own->first}) {
    EXPECT_NE(m.vm_flags.find(" lo "), std::string::npos) << m.vm_flags;
  }
  first.reset();  // shares a page with `second`
  const std::string after = mapping_at(second.bytes().data())->first.vm_flags;
  EXPECT_NE(after.find(" lo "), std::string::npos) << after;
}

// Runs `child` in a forked process that has given up root and runs under a
// locked-memory limit of `limit` bytes: its exit status and what it wrote to
// stderr.
client_testing::CtlResult run_unprivileged(rlim_t limit, const std::function<int()>& child) {
  return client_testing::RunningProgram([&](int, int, int err) {
           return testing::fork_as_user(
               65534, [&] { return ::dup2(err, STDERR_FILENO) < 0 ? 11 : child(); },
               testing::ChildLimit{RLIMIT_MEMLOCK, limit});
         })
      .finish();
}

// Root may lock past any limit, so each child gives up root first. Under a
// zero limit Linux refuses every mlock with EPERM, and every failed lock
// warns. Under a limit that admits one page but not a whole chunk, the
// chunk's lock fails, the first secret's own page is locked, and only a
// secret that finds no room left within the limit warns. (How many small
// secrets an ordinary user's limit holds is a figure of the load benchmark.)
TEST_F(LockedSecretTest, FailedLocksWarnAndTheSecretsStayUsable) {
  if (MLOCK_IS_A_NO_OP) GTEST_SKIP() << "the sanitizers never fail mlock";
  SKIP_UNLESS_ROOT("switches to an unprivileged uid");
  const auto warning = [](int errnum) {
    return "tarnwel-agent: mlock failed (" + os_error_text(errnum) +
           "); continuing without it (best-effort only)\n";
  };
  const client_testing::CtlResult zero = run_unprivileged(0, [] {
    if (!LockedSecret("").locked()) return 12;
    LockedSecret alpha("alpha"), beta("beta");
    if (alpha.locked() || beta.locked() || alpha.bytes() != "alpha" || beta.bytes() != "beta")
      return 13;
    if (::write(STDERR_FILENO, "--\n", 3) != 3) return 14;
    const LockedSecret copy = alpha.copy();
    return !copy.locked() && copy.bytes() == "alpha" ? 0 : 15;
  });
  EXPECT_EQ(zero, (client_testing::CtlResult{
                      0, "", warning(EPERM) + warning(EPERM) + "--\n" + warning(EPERM)}));

  const client_testing::CtlResult tight = run_unprivileged(PAGE, [] {
    LockedSecret first("first");
    if (!first.locked()) return 30;
    if (::write(STDERR_FILENO, "--\n", 3) != 3) return 31;
    std::vector<LockedSecret> more;
    for (std::size_t i = 1; i < PAGE / 16; ++i) more.emplace_back("more");  // fills the page
    LockedSecret beyond("beyond");  // on the next page, past the limit
    return beyond.locked() ? 32 : 0;
  });
  EXPECT_EQ(tight, (client_testing::CtlResult{0, "", "--\n" + warning(ENOMEM)}));
}
#endif  // Linux's RLIMIT_MEMLOCK

}  // namespace
}  // namespace tarnwel
