#include "base/secure_wipe.h"

namespace tarnwel {

void secure_wipe(void* data, std::size_t size) noexcept {
  // Volatile stores, one byte at a time: the compiler may neither drop them as
  // dead (the memory is about to be freed) nor fold them into a removable memset.
  volatile auto* bytes = static_cast<volatile unsigned char*>(data);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = 0;
}

[[gnu::noinline]] void wipe_stack(std::size_t bytes) noexcept {
  // A variable-length area would do, but is not standard C++; a fixed one
  // large enough for the deepest request path is. Only the part that is wiped
  // is ever touched, so only that part of the stack is faulted in.
  volatile unsigned char area[MAX_STACK_WIPE];
  const std::size_t span = bytes < MAX_STACK_WIPE ? bytes : MAX_STACK_WIPE;
  // The stack grows down: the top of the area is nearest the caller's frame,
  // and that is the part the caller's callees used.
  secure_wipe(const_cast<unsigned char*>(area + (MAX_STACK_WIPE - span)), span);
}

}  // namespace tarnwel
