// Every heap block of the agent is zeroed before it is freed: the
// ThreadSanitizer build's way (wipe_on_free.cc says why the agent wipes).
//
// ThreadSanitizer's runtime defines the global allocation functions itself,
// and not weakly, so the agent cannot replace them. Its allocator calls a
// free hook instead, for operator delete and free alike, while the block is
// still allocated; the hook wipes the block's whole allocated size.
#include <sanitizer/allocator_interface.h>

#include <cstddef>

#include "base/secure_wipe.h"

namespace {

// The runtime installs hooks only in pairs; allocation needs nothing.
void on_allocation(const volatile void*, std::size_t) {}

void wipe_before_free(const volatile void* block) {
  if (block == nullptr) return;
  tarnwel::secure_wipe(const_cast<void*>(block), __sanitizer_get_allocated_size(block));
}

// Installed before main, on the one thread there is then, as the interface
// requires; no secret can be allocated before it.
[[maybe_unused]] const int HOOK_INSTALLED =
    __sanitizer_install_malloc_and_free_hooks(on_allocation, wipe_before_free);

}  // namespace
