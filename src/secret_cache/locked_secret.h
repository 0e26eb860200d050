// LockedSecret: the only place a secret's bytes live longer than one request's
// parsing. The bytes live in the secret arena: a few large mappings that are
// mlock()ed once, kept out of core dumps and fenced by inaccessible guard
// pages, carved into slots of a few sizes; a secret too large for the biggest
// slot gets a fenced mapping of its own. A page is never unlocked while a
// secret on it is alive, so letting one secret go never unlocks another's
// bytes. Locking is best effort: a secret that lands on memory that cannot be
// locked writes one warning line and stays usable. Every byte is overwritten
// with zeros when the secret is let go, before its slot can be handed out
// again.
//
// Move-only; one thread at a time per LockedSecret, any number of threads at
// once on the arena. Copies are explicit (`copy()`) and are LockedSecrets too;
// while the arena has room, a copy costs no system call.
//
//   LockedSecret secret(request_bytes);  // copies; wipe request_bytes yourself
//   use(secret.bytes());
//   // destruction wipes and gives the slot back
#pragma once

#include <cstddef>
#include <string_view>

#include "base/secure_wipe.h"

namespace tarnwel {

// How the one warning line of a secret on memory that cannot be locked begins,
// after the agent's "tarnwel-agent: ", for a client that looks for it in the
// agent's log.
inline constexpr std::string_view MEMORY_LOCK_WARNING = "mlock failed (";

class LockedSecret {
 public:
  // Copies `bytes` into locked arena memory. An empty secret takes no memory,
  // locks nothing and counts as locked.
  explicit LockedSecret(std::string_view bytes);
  LockedSecret(LockedSecret&& other) noexcept;
  LockedSecret& operator=(LockedSecret&& other) noexcept;
  LockedSecret(const LockedSecret&) = delete;
  LockedSecret& operator=(const LockedSecret&) = delete;
  ~LockedSecret();

  // A new, separately owned copy of the same bytes.
  LockedSecret copy() const { return LockedSecret(bytes()); }

  std::string_view bytes() const { return {data_, size_}; }
  std::size_t size() const { return size_; }
  // Whether the memory lock holds (always true for an empty secret).
  bool locked() const { return locked_; }

 private:
  void release() noexcept;

  char* data_ = nullptr;
  std::size_t size_ = 0;
  bool locked_ = true;
};

}  // namespace tarnwel
