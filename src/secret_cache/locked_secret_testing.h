// A seam for tests of LockedSecret: they cannot read a secret's pages after
// munmap, so an observer may look at them just before they are given back,
// when the wipe must already have happened. Production code never sets one.
#pragma once

#include <cstddef>
#include <string_view>

namespace tarnwel::testing {

// Sees all the mapped pages of a secret of `secret_size` bytes.
using ReleaseObserver = void (*)(std::string_view pages, std::size_t secret_size);

// Installs `observer` (nullptr removes it) for every LockedSecret released
// from now on, on any thread.
void set_release_observer(ReleaseObserver observer) noexcept;

}  // namespace tarnwel::testing
