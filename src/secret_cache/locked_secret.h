// LockedSecret: the only place a secret's bytes live longer than one request's
// parsing. The bytes get pages of their own (page-aligned, length rounded up
// to whole pages) so that locking or unlocking one secret never changes the
// lock of a neighbour; the pages are mlock()ed (best effort: a failure writes
// one warning line and the secret stays usable) and are overwritten with zeros
// before they are given back.
//
// Move-only; one thread at a time. Copies are explicit (`copy()`) and are
// LockedSecrets too.
//
//   LockedSecret secret(request_bytes);  // copies; wipe request_bytes yourself
//   use(secret.bytes());
//   // destruction wipes, unlocks and releases
#pragma once

#include <cstddef>
#include <string_view>

namespace tarnwel {

class LockedSecret {
 public:
  // Copies `bytes` into locked pages of its own. An empty secret allocates
  // nothing, locks nothing and counts as locked.
  explicit LockedSecret(std::string_view bytes);
  LockedSecret(LockedSecret&& other) noexcept;
  LockedSecret& operator=(LockedSecret&& other) noexcept;
  LockedSecret(const LockedSecret&) = delete;
  LockedSecret& operator=(const LockedSecret&) = delete;
  ~LockedSecret();

  // A new, separately locked copy of the same bytes.
  LockedSecret copy() const { return LockedSecret(bytes()); }

  std::string_view bytes() const { return {data_, size_}; }
  std::size_t size() const { return size_; }
  // Whether the memory lock holds (always true for an empty secret).
  bool locked() const { return locked_; }

 private:
  void release() noexcept;

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t mapped_ = 0;  // bytes of whole pages behind data_
  bool locked_ = true;
};

// Overwrites `size` bytes at `data` with zeros through stores the compiler may
// not drop. For every buffer that held a secret.
void secure_wipe(void* data, std::size_t size) noexcept;

// Zeroes the stack below the caller's frame, as deep as `bytes`: for a thread
// that is done with a request and whose stack will be reused.
void wipe_stack(std::size_t bytes = 64 * 1024) noexcept;

}  // namespace tarnwel
