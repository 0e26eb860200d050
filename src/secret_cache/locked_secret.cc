#include "secret_cache/locked_secret.h"

#include <cstring>
#include <string>
#include <utility>

#include "base/diagnostics.h"
#include "base/os_error.h"
#include "secret_cache/secret_arena.h"

namespace tarnwel {

LockedSecret::LockedSecret(std::string_view bytes) {
  if (bytes.empty()) return;  // nothing to lock, nothing to warn about
  const ArenaPlacement placed = place_in_arena(bytes.size());
  data_ = placed.data;
  size_ = bytes.size();
  locked_ = placed.locked;
  std::memcpy(data_, bytes.data(), size_);
  if (locked_) return;
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
