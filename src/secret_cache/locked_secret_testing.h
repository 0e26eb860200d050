// A seam for tests of LockedSecret: they cannot read a secret's memory once it
// is given back (unmapped, or poisoned for AddressSanitizer), so an observer
// may look at it just before, when the wipe must already have happened.
// Production code never sets one.
#pragma once

#include <cstddef>
#include <string_view>

namespace tarnwel::testing {

// Sees the whole memory a secret of `secret_size` bytes occupied: its slot of
// the arena, or all the pages of a mapping of its own.
using ReleaseObserver = void (*)(std::string_view memory, std::size_t secret_size);

// Installs `observer` (nullptr removes it) for every LockedSecret released
// from now on, on any thread.
void set_release_observer(ReleaseObserver observer) noexcept;

// The largest secret that shares arena memory; a longer one gets a mapping of
// its own.
std::size_t largest_arena_slot() noexcept;

}  // namespace tarnwel::testing
