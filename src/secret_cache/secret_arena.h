// The secret arena: the memory every non-empty LockedSecret lives in. A few
// large mappings, mlock()ed once, kept out of core dumps and fenced by
// inaccessible guard pages, are carved into slots of power-of-two sizes; a
// secret too large for the biggest slot gets a fenced mapping of its own. A
// page is never unlocked while a secret on it is alive, and forked children
// do not take their inherited pages for locked.
//
// Thread-safe: any number of threads may place and release at once.
//
//   ArenaPlacement placed = place_in_arena(size);
//   ...  // use placed.data[0, size); warn if !placed.locked
//   secure_wipe(placed.data, size);
//   release_from_arena(placed.data, size);
#pragma once

#include <cstddef>

namespace tarnwel {

struct ArenaPlacement {
  char* data = nullptr;
  bool locked = false;
  int error = 0;  // why the lock failed, when it did
};

// Room for `size` (> 0) bytes, locked if the system allows it. Throws
// std::bad_alloc, like any other allocation, when no memory can be mapped.
ArenaPlacement place_in_arena(std::size_t size);

// Gives back what place_in_arena(size) returned; its bytes must be wiped
// already.
void release_from_arena(char* data, std::size_t size) noexcept;

}  // namespace tarnwel
