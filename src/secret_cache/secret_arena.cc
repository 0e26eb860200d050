#include "secret_cache/secret_arena.h"

#include <errno.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "base/mutex.h"
#include "secret_cache/locked_secret_testing.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TARNWEL_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) && !defined(TARNWEL_ASAN)
#define TARNWEL_ASAN 1
#endif
#if defined(TARNWEL_ASAN)
#include <sanitizer/asan_interface.h>
#endif

namespace tarnwel {
namespace {

std::atomic<testing::ReleaseObserver> release_observer{nullptr};

// Slot sizes are the powers of two from SMALLEST_SLOT to LARGEST_SLOT; each
// size has chunks of CHUNK_BYTES of its own. A slot never straddles a page
// boundary unless it is a whole number of pages itself.
constexpr std::size_t SMALLEST_SLOT = 16;
constexpr std::size_t LARGEST_SLOT = 16 * 1024;
constexpr auto SLOT_SIZES = static_cast<std::size_t>(std::countr_zero(LARGEST_SLOT / SMALLEST_SLOT)) + 1;
constexpr std::size_t CHUNK_BYTES = 64 * 1024;

std::size_t page_size() {
  static const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return page;
}

std::size_t whole_pages(std::size_t size) {
  const std::size_t page = page_size();
  return (size + page - 1) / page * page;
}

// The slot size for a secret of `size` bytes, as an index into the sizes.
std::size_t size_class(std::size_t size) {
  return static_cast<std::size_t>(std::bit_width(std::max(size, SMALLEST_SLOT) - 1)) -
         static_cast<std::size_t>(std::countr_zero(SMALLEST_SLOT));
}

void poison(const char* data, std::size_t size) noexcept {
#if defined(TARNWEL_ASAN)
  ASAN_POISON_MEMORY_REGION(data, size);
#else
  (void)data;
  (void)size;
#endif
}

void unpoison(const char* data, std::size_t size) noexcept {
#if defined(TARNWEL_ASAN)
  ASAN_UNPOISON_MEMORY_REGION(data, size);
#else
  (void)data;
  (void)size;
#endif
}

// Anonymous memory of `usable` bytes (whole pages) between two inaccessible
// guard pages, so that a run off either end faults instead of reading or
// writing a neighbour; kept out of core dumps. Unmapping also drops any lock.
class GuardedMapping {
 public:
  explicit GuardedMapping(std::size_t usable) : usable_(usable) {
    const std::size_t page = page_size();
    void* base = ::mmap(nullptr, usable + 2 * page, PROT_NONE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    // Like any other failed allocation: the request cannot go on without memory.
    if (base == MAP_FAILED) throw std::bad_alloc();
    base_ = static_cast<char*>(base);
    if (::mprotect(base_ + page, usable, PROT_READ | PROT_WRITE) != 0) {
      ::munmap(base_, usable + 2 * page);
      throw std::bad_alloc();
    }
#ifdef MADV_DONTDUMP
    ::madvise(base_, usable + 2 * page, MADV_DONTDUMP);  // best effort
#endif
  }
  GuardedMapping(const GuardedMapping&) = delete;
  GuardedMapping& operator=(const GuardedMapping&) = delete;
  ~GuardedMapping() {
    if (base_ == nullptr) return;
    unpoison(data(), usable_);  // whatever is mapped here next starts clean
    ::munmap(base_, usable_ + 2 * page_size());
  }

  // Hands the mapping over to whoever keeps the returned address; it is then
  // unmapped by unmap_from(address, size()).
  char* disown() { return std::exchange(base_, nullptr) + page_size(); }
  static void unmap_from(char* data, std::size_t usable) {
    ::munmap(data - page_size(), usable + 2 * page_size());
  }

  char* data() const { return base_ + page_size(); }
  std::size_t size() const { return usable_; }
  bool holds(const char* p) const { return data() <= p && p < data() + usable_; }

 private:
  char* base_ = nullptr;
  std::size_t usable_;
};

// One chunk of slots of one size. Its pages are locked together when it is
// made; pages that could not be locked then are tried again, page by page,
// for each secret that lands on them. No page is unlocked before the chunk is
// unmapped, and a chunk is unmapped only when it holds no live secret.
struct Chunk {
  Chunk(std::size_t slot_size, std::size_t bytes)
      : memory(bytes), slot(slot_size), page_locked(bytes / page_size(), false) {
    const auto slots = static_cast<std::uint32_t>(bytes / slot_size);
    free_slots.reserve(slots);
    // Handed out from the back, lowest address first.
    for (std::uint32_t i = slots; i > 0; --i) free_slots.push_back(i - 1);
    poison(memory.data(), memory.size());
    if (::mlock(memory.data(), memory.size()) == 0) {
      std::fill(page_locked.begin(), page_locked.end(), true);
      unlocked_pages = 0;
    } else {
      unlocked_pages = page_locked.size();
    }
  }

  // Locks the pages under [data, data + size) that are not locked yet; false
  // (with the error in errno) if they cannot be.
  bool lock_pages_of(const char* data, std::size_t size) {
    if (unlocked_pages == 0) return true;
    const std::size_t page = page_size();
    const std::size_t first = static_cast<std::size_t>(data - memory.data()) / page;
    const std::size_t last = (static_cast<std::size_t>(data - memory.data()) + size - 1) / page;
    bool all = true;
    for (std::size_t p = first; p <= last; ++p) all = all && page_locked[p];
    if (all) return true;
    if (::mlock(memory.data() + first * page, (last - first + 1) * page) != 0) return false;
    for (std::size_t p = first; p <= last; ++p) {
      if (!page_locked[p]) --unlocked_pages;
      page_locked[p] = true;
    }
    return true;
  }

  GuardedMapping memory;
  std::size_t slot;
  std::vector<std::uint32_t> free_slots;
  std::vector<bool> page_locked;
  std::size_t unlocked_pages = 0;
  std::size_t live = 0;
};

// Where every non-empty secret lives. Chunks come and go under one mutex; a
// slot is touched outside it only by the one LockedSecret that owns it.
class SecretArena {
 public:
  SecretArena() = default;

  // Memory locks are not inherited by a forked child, so the child must not
  // believe its pages locked. The mutex is held across fork(), so that the
  // child never inherits it taken by a thread that does not exist there.
  void before_fork() TARNWEL_NO_THREAD_SAFETY_ANALYSIS { mutex_.lock(); }
  void after_fork_in_parent() TARNWEL_NO_THREAD_SAFETY_ANALYSIS { mutex_.unlock(); }
  void after_fork_in_child() TARNWEL_NO_THREAD_SAFETY_ANALYSIS {
    for (auto& chunks : chunks_) {
      for (auto& chunk : chunks) {
        std::fill(chunk->page_locked.begin(), chunk->page_locked.end(), false);
        chunk->unlocked_pages = chunk->page_locked.size();
      }
    }
    mutex_.unlock();
  }

  ArenaPlacement place(std::size_t size) {
    if (size > LARGEST_SLOT) return place_alone(size);
    const std::size_t index = size_class(size);
    MutexLock lock(mutex_);
    std::vector<std::unique_ptr<Chunk>>& chunks = chunks_[index];
    auto room = std::find_if(chunks.begin(), chunks.end(),
                             [](const auto& chunk) { return !chunk->free_slots.empty(); });
    if (room == chunks.end()) {
      const std::size_t slot = SMALLEST_SLOT << index;
      chunks.push_back(std::make_unique<Chunk>(slot, std::max(CHUNK_BYTES, whole_pages(slot))));
      room = chunks.end() - 1;
    }
    Chunk& chunk = **room;
    ArenaPlacement placed;
    placed.data = chunk.memory.data() + std::size_t{chunk.free_slots.back()} * chunk.slot;
    chunk.free_slots.pop_back();
    ++chunk.live;
    placed.locked = chunk.lock_pages_of(placed.data, size);
    if (!placed.locked) placed.error = errno;
    unpoison(placed.data, size);
    return placed;
  }

  // `data` must come from place(size), and its bytes must be wiped already.
  void release(char* data, std::size_t size) noexcept {
    if (size > LARGEST_SLOT) {
      release_alone(data, size);
      return;
    }
    std::unique_ptr<Chunk> emptied;  // unmapped after the mutex is released
    {
      MutexLock lock(mutex_);
      std::vector<std::unique_ptr<Chunk>>& chunks = chunks_[size_class(size)];
      const auto home = std::find_if(chunks.begin(), chunks.end(),
                                     [&](const auto& chunk) { return chunk->memory.holds(data); });
      Chunk& chunk = **home;
      unpoison(data, chunk.slot);
      observe(data, chunk.slot, size);
      poison(data, chunk.slot);
      chunk.free_slots.push_back(
          static_cast<std::uint32_t>(static_cast<std::size_t>(data - chunk.memory.data()) / chunk.slot));
      --chunk.live;
      // One empty chunk per size stays mapped, so that a secret that comes and
      // goes at the edge of a chunk does not map and unmap memory each time.
      if (chunk.live == 0 &&
          std::any_of(chunks.begin(), chunks.end(), [&](const auto& other) {
            return other.get() != &chunk && other->live == 0;
          })) {
        emptied = std::move(*home);
        chunks.erase(home);
      }
    }
  }

 private:
  static void observe(const char* data, std::size_t bytes, std::size_t size) noexcept {
    if (const testing::ReleaseObserver observer = release_observer.load()) {
      observer(std::string_view(data, bytes), size);
    }
  }

  // A large secret: a fenced mapping of its own, locked and unmapped with it.
  static ArenaPlacement place_alone(std::size_t size) {
    GuardedMapping memory(whole_pages(size));
    ArenaPlacement placed;
    placed.locked = ::mlock(memory.data(), memory.size()) == 0;
    if (!placed.locked) placed.error = errno;
    placed.data = memory.disown();  // the LockedSecret's from here on; see release_alone
    unpoison(placed.data, size);
    return placed;
  }

  static void release_alone(char* data, std::size_t size) noexcept {
    observe(data, whole_pages(size), size);
    GuardedMapping::unmap_from(data, whole_pages(size));
  }

  Mutex mutex_;
  std::array<std::vector<std::unique_ptr<Chunk>>, SLOT_SIZES> chunks_ TARNWEL_GUARDED_BY(mutex_);
};

// Never destroyed: a secret released while static objects are torn down must
// still find its chunk.
SecretArena& arena() {
  alignas(SecretArena) static unsigned char storage[sizeof(SecretArena)];
  static SecretArena* const instance = [] {
    SecretArena* made = ::new (storage) SecretArena();
    ::pthread_atfork([] { arena().before_fork(); }, [] { arena().after_fork_in_parent(); },
                     [] { arena().after_fork_in_child(); });
    return made;
  }();
  return *instance;
}

}  // namespace

void testing::set_release_observer(ReleaseObserver observer) noexcept {
  release_observer = observer;
}

std::size_t testing::largest_arena_slot() noexcept { return LARGEST_SLOT; }

ArenaPlacement place_in_arena(std::size_t size) { return arena().place(size); }

void release_from_arena(char* data, std::size_t size) noexcept { arena().release(data, size); }

}  // namespace tarnwel
