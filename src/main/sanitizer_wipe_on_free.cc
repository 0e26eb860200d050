// Every heap block of the agent is zeroed before it is freed: the
// ThreadSanitizer build's way (wipe_on_free.cc says why the agent wipes).
//
// ThreadSanitizer's runtime defines the global allocation functions itself,
// and not weakly, so the agent cannot replace them. Its allocator calls a
// free hook instead, for operator delete and free alike, while the block is
// still allocated; the hook wipes the block's whole allocated size.
//
// The runtime's realloc calls that hook on the old block before it copies the
// block's bytes to the new one: wiped first, they would arrive as zeros (the
// system bus's library lost its messages so). realloc and reallocarray are
// therefore the agent's own here, made of malloc, a copy and free, in that
// order; the runtime's own are weak and give way to them.
#include <errno.h>
#include <sanitizer/allocator_interface.h>
#include <stdlib.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

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

extern "C" void* realloc(void* block, std::size_t size) {
  if (block == nullptr) return std::malloc(size);
  if (size == 0) {
    std::free(block);
    return nullptr;
  }
  void* moved = std::malloc(size);
  if (moved == nullptr) return nullptr;  // the old block stays, as realloc leaves it
  std::memcpy(moved, block, std::min(size, __sanitizer_get_allocated_size(block)));
  std::free(block);  // wiped by the hook, after the copy
  return moved;
}

extern "C" void* reallocarray(void* block, std::size_t count, std::size_t size) {
  std::size_t total = 0;
  if (__builtin_mul_overflow(count, size, &total)) {
    errno = ENOMEM;
    return nullptr;
  }
  return realloc(block, total);
}
