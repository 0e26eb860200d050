#include "base/secure_wipe.h"

namespace tarnwel {

void secure_wipe(void* data, std::size_t size) noexcept {
  // Volatile stores, one byte at a time: the compiler may neither drop them as
  // dead (the memory is about to be freed) nor fold them into a removable memset.
  volatile auto* bytes = static_cast<volatile unsigned char*>(data);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = 0;
}

[[gnu::noinline]] void wipe_stack(std::size_t bytes) noexcept {
  // An area of exactly the span, just below this frame: a fixed array as
  // large as the deepest wipe would place the wipe's own call at its far end
  // and touch (and fault in) a page far below what the caller used.
  const std::size_t span = bytes < MAX_STACK_WIPE ? bytes : MAX_STACK_WIPE;
  auto* area = static_cast<unsigned char*>(__builtin_alloca(span));
  secure_wipe(area, span);
  // The area is used after the wipe, so the wipe cannot be dropped as dead.
  asm volatile("" : : "r"(area) : "memory");
}

}  // namespace tarnwel
