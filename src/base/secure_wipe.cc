#include "base/secure_wipe.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace tarnwel {
namespace {

// mincore's vector is unsigned char on Linux and char on macOS, and its
// address const on macOS: take the types this system declares.
template <class Address, class Vector>
int ask_resident(int (*query)(Address, std::size_t, Vector*), std::uintptr_t start,
                 std::size_t length, unsigned char* vector) {
  return query(reinterpret_cast<Address>(start), length, reinterpret_cast<Vector*>(vector));
}

}  // namespace

void secure_wipe(void* data, std::size_t size) noexcept {
  if (size == 0) return;
  std::memset(data, 0, size);
  // The barrier claims to read all memory through `data`: the compiler must
  // assume the zeros are looked at, so it may not drop the memset as a dead
  // store to memory that is about to be freed. A plain memset at full speed;
  // volatile stores of one byte at a time cost microseconds per request.
  asm volatile("" : : "r"(data) : "memory");
}

[[gnu::noinline]] void wipe_stack(std::size_t bytes) noexcept {
  // An area of exactly the span, just below this frame: a fixed array as
  // large as the deepest wipe would place the wipe's own call at its far end
  // and touch (and fault in) a page far below what the caller used.
  const std::size_t span = bytes < MAX_STACK_WIPE ? bytes : MAX_STACK_WIPE;
  auto* area = static_cast<unsigned char*>(__builtin_alloca(span));
  // A page of the span that is not resident holds nothing (it was never
  // touched, or glibc gave it back when it cached the stack); writing it would
  // only fault it in. So only resident pages are wiped; should the question
  // fail, every page is.
  static const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto low = reinterpret_cast<std::uintptr_t>(area) & ~(page - 1);
  const auto high = reinterpret_cast<std::uintptr_t>(area) + span;
  // A thread that wipes within a span it wiped before (a connection thread
  // serving one request after another) is reusing its stack: it wipes the
  // span whole without asking. That faults in, once, what its first request
  // left untouched; from then on the span is resident.
  thread_local std::uintptr_t wiped_low = 0;
  thread_local std::uintptr_t wiped_high = 0;
  const bool again = low >= wiped_low && high <= wiped_high;
  if (!again) {
    wiped_low = low;
    wiped_high = high;
  }
  constexpr std::size_t MAX_PAGES = MAX_STACK_WIPE / 4096 + 2;
  unsigned char resident[MAX_PAGES] = {};
  const std::size_t pages = (high - low + page - 1) / page;
  if (again || pages > MAX_PAGES || ask_resident(&::mincore, low, high - low, resident) != 0) {
    secure_wipe(area, span);
  } else {
    for (std::size_t i = 0; i < pages; ++i) {
      if ((resident[i] & 1) == 0) continue;
      const std::uintptr_t from = std::max(low + i * page, reinterpret_cast<std::uintptr_t>(area));
      const std::uintptr_t to = std::min(low + (i + 1) * page, high);
      secure_wipe(reinterpret_cast<void*>(from), to - from);
    }
  }
  // The area is used after the wipe, so the wipe cannot be dropped as dead.
  asm volatile("" : : "r"(area) : "memory");
}

}  // namespace tarnwel
