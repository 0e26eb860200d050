#include "secret_cache/locked_secret.h"

#include <errno.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "base/diagnostics.h"
#include "base/os_error.h"
#include "secret_cache/locked_secret_testing.h"

namespace tarnwel {
namespace {

std::atomic<testing::ReleaseObserver> release_observer{nullptr};

std::size_t whole_pages(std::size_t size) {
  static const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return (size + page - 1) / page * page;
}

}  // namespace

void testing::set_release_observer(ReleaseObserver observer) noexcept {
  release_observer = observer;
}

void secure_wipe(void* data, std::size_t size) noexcept {
  // Volatile stores, one byte at a time: the compiler may neither drop them as
  // dead (the memory is about to be freed) nor fold them into a removable memset.
  volatile auto* bytes = static_cast<volatile unsigned char*>(data);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = 0;
}

[[gnu::noinline]] void wipe_stack(std::size_t bytes) noexcept {
  // A variable-length area would do, but is not standard C++; a fixed one
  // large enough for the deepest request path is.
  constexpr std::size_t AREA = 64 * 1024;
  volatile unsigned char area[AREA];
  secure_wipe(const_cast<unsigned char*>(area), bytes < AREA ? bytes : AREA);
}

LockedSecret::LockedSecret(std::string_view bytes) {
  if (bytes.empty()) return;  // nothing to lock, nothing to warn about
  // Pages of its own: mlock and munlock work on whole pages, so a secret that
  // shared a page with another would unlock its neighbour when it went away.
  const std::size_t mapped = whole_pages(bytes.size());
  void* pages = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  // Like any other failed allocation: the request cannot go on without memory.
  if (pages == MAP_FAILED) throw std::bad_alloc();
#ifdef MADV_DONTDUMP
  ::madvise(pages, mapped, MADV_DONTDUMP);  // keep secrets out of core files; best effort
#endif
  data_ = static_cast<char*>(pages);
  size_ = bytes.size();
  mapped_ = mapped;
  std::memcpy(data_, bytes.data(), size_);
  if (::mlock(data_, mapped_) == 0) return;
  const int err = errno;
  locked_ = false;
  diagnose("mlock failed (" + os_error_text(err) + "); continuing without it (best-effort only)");
}

LockedSecret::LockedSecret(LockedSecret&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      mapped_(std::exchange(other.mapped_, 0)),
      locked_(std::exchange(other.locked_, true)) {}

LockedSecret& LockedSecret::operator=(LockedSecret&& other) noexcept {
  if (this == &other) return *this;
  release();
  data_ = std::exchange(other.data_, nullptr);
  size_ = std::exchange(other.size_, 0);
  mapped_ = std::exchange(other.mapped_, 0);
  locked_ = std::exchange(other.locked_, true);
  return *this;
}

LockedSecret::~LockedSecret() { release(); }

void LockedSecret::release() noexcept {
  if (data_ == nullptr) return;
  secure_wipe(data_, size_);
  if (locked_) ::munlock(data_, mapped_);  // nothing to do if it fails
  if (const testing::ReleaseObserver observe = release_observer.load()) {
    observe(std::string_view(data_, mapped_), size_);
  }
  ::munmap(data_, mapped_);
  data_ = nullptr;
  size_ = 0;
  mapped_ = 0;
  locked_ = true;
}

}  // namespace tarnwel
