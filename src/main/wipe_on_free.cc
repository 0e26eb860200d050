// Every heap block of the agent is zeroed before it is freed.
//
// A secret passes through memory that no LockedSecret owns: the request's read
// buffer, the parser's token buffer, the parsed JSON string, the reply object
// and its encoded text. Rather than chase each copy, the global allocation
// functions are replaced: blocks come from malloc, and every operator delete
// wipes the whole usable size before handing the block back, so a freed copy
// of a secret never lingers in the heap.
//
// Linked into the agent binary only (an object library), never into a
// library that other programs might link.
#include <stdlib.h>

#include <cstddef>
#include <new>

#include "base/secure_wipe.h"

#if defined(__APPLE__)
#include <malloc/malloc.h>
#else
#include <malloc.h>
#endif

namespace {

std::size_t usable_size(void* block) {
#if defined(__APPLE__)
  return ::malloc_size(block);
#else
  return ::malloc_usable_size(block);
#endif
}

void wipe_and_free(void* block) noexcept {
  if (block == nullptr) return;
  tarnwel::secure_wipe(block, usable_size(block));
  std::free(block);
}

void* allocate(std::size_t size, std::size_t alignment) noexcept {
  if (size == 0) size = 1;
  if (alignment <= alignof(std::max_align_t)) return std::malloc(size);
  void* block = nullptr;
  if (::posix_memalign(&block, alignment, size) != 0) return nullptr;
  return block;
}

// The standard's loop: ask the new-handler for room until it gives up.
void* allocate_or_throw(std::size_t size, std::size_t alignment) {
  while (true) {
    if (void* block = allocate(size, alignment)) return block;
    std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) throw std::bad_alloc();
    handler();
  }
}

void* allocate_or_null(std::size_t size, std::size_t alignment) noexcept {
  try {
    return allocate_or_throw(size, alignment);
  } catch (...) {
    return nullptr;
  }
}

constexpr std::size_t PLAIN = alignof(std::max_align_t);

std::size_t align_of(std::align_val_t alignment) { return static_cast<std::size_t>(alignment); }

}  // namespace

void* operator new(std::size_t size) { return allocate_or_throw(size, PLAIN); }
void* operator new[](std::size_t size) { return allocate_or_throw(size, PLAIN); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return allocate_or_null(size, PLAIN);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return allocate_or_null(size, PLAIN);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
  return allocate_or_throw(size, align_of(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return allocate_or_throw(size, align_of(alignment));
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return allocate_or_null(size, align_of(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return allocate_or_null(size, align_of(alignment));
}

void operator delete(void* block) noexcept { wipe_and_free(block); }
void operator delete[](void* block) noexcept { wipe_and_free(block); }
void operator delete(void* block, std::size_t) noexcept { wipe_and_free(block); }
void operator delete[](void* block, std::size_t) noexcept { wipe_and_free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { wipe_and_free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { wipe_and_free(block); }
void operator delete(void* block, std::align_val_t) noexcept { wipe_and_free(block); }
void operator delete[](void* block, std::align_val_t) noexcept { wipe_and_free(block); }
void operator delete(void* block, std::size_t, std::align_val_t) noexcept { wipe_and_free(block); }
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept { wipe_and_free(block); }
void operator delete(void* block, std::align_val_t, const std::nothrow_t&) noexcept {
  wipe_and_free(block);
}
void operator delete[](void* block, std::align_val_t, const std::nothrow_t&) noexcept {
  wipe_and_free(block);
}
