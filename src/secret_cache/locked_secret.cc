#include "secret_cache/locked_secret.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "base/diagnostics.h"
#include "base/os_error.h"
#include "secret_cache/secret_arena.h"

namespace tarnwel {
namespace {

// Whether the failure to lock with `error` is worth a line. On a terminal or
// a pipe, every one is told; a standard error that is a regular file is the
// log a client gave an agent it started, which hears each kind of failure
// once: a line per secret would grow it without bound for as long as the
// agent runs.
bool worth_warning(int error) {
  static const bool to_file = [] {
    struct stat st {};
    return ::fstat(STDERR_FILENO, &st) == 0 && S_ISREG(st.st_mode);
  }();
  if (!to_file) return true;
  static std::atomic<std::uint64_t> told{0};
  if (error < 0 || error >= 64) return true;  // beyond the mask: mlock gives none such
  const std::uint64_t bit = std::uint64_t{1} << error;
  return (told.fetch_or(bit) & bit) == 0;
}

}  // namespace

LockedSecret::LockedSecret(std::string_view bytes) {
  if (bytes.empty()) return;  // nothing to lock, nothing to warn about
  const ArenaPlacement placed = place_in_arena(bytes.size());
  data_ = placed.data;
  size_ = bytes.size();
  locked_ = placed.locked;
  std::memcpy(data_, bytes.data(), size_);
  if (locked_ || !worth_warning(placed.error)) return;
  diagnose(std::string(MEMORY_LOCK_WARNING) + os_error_text(placed.error) +
           "); continuing without it (best-effort only)");
}

LockedSecret::LockedSecret(LockedSecret&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      locked_(std::exchange(other.locked_, true)) {}

LockedSecret& LockedSecret::operator=(LockedSecret&& other) noexcept {
  if (this == &other) return *this;
  release();
  data_ = std::exchange(other.data_, nullptr);
  size_ = std::exchange(other.size_, 0);
  locked_ = std::exchange(other.locked_, true);
  return *this;
}

LockedSecret::~LockedSecret() { release(); }

void LockedSecret::release() noexcept {
  if (data_ == nullptr) return;
  secure_wipe(data_, size_);
  release_from_arena(data_, size_);
  data_ = nullptr;
  size_ = 0;
  locked_ = true;
}

}  // namespace tarnwel
