#include "base/secure_wipe.h"

#include <sys/mman.h>
#include <unistd.h>

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

// Zeroes [from, to) without calling anything: wipe_stack's area lies at the
// bottom of the stack, so a call from there would push its frame onto the page
// below, which the caller may never have touched, and fault it in.
[[gnu::always_inline]] inline void zero_without_call(std::uintptr_t from,
                                                     std::uintptr_t to) noexcept {
#if defined(__x86_64__)
  auto* out = reinterpret_cast<unsigned char*>(from);
  std::size_t count = to - from;
  asm volatile("rep stosb" : "+D"(out), "+c"(count) : "a"(0) : "memory");
#else
  // Both ends are 16-byte aligned (see wipe_stack).
  for (auto* word = reinterpret_cast<volatile std::uint64_t*>(from);
       reinterpret_cast<std::uintptr_t>(word) < to; ++word) {
    *word = 0;
  }
#endif
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
  // and touch (and fault in) a page far below what the caller used. Rounded to
  // whole 16-byte words, as the area's start is.
  const std::size_t span =
      ((bytes < MAX_STACK_WIPE ? bytes : MAX_STACK_WIPE) + 15) & ~std::size_t{15};
  // A page of the span that is not resident holds nothing (it was never
  // touched, or glibc gave it back when it cached the stack); writing it would
  // only fault it in. So only resident pages are wiped; should the question
  // fail, every page is. The question is asked before the area is made, so
  // that its call lies within what the caller's own calls used: asked from
  // the area, the call would lie below it, on a page the wipe need not touch.
  static const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  constexpr std::size_t MAX_PAGES = MAX_STACK_WIPE / 4096 + 4;
  unsigned char resident[MAX_PAGES] = {};
  // The area will lie below this frame's fixed part, and `resident` with it;
  // two pages of slack for whatever the compiler puts between them.
  const auto top = (reinterpret_cast<std::uintptr_t>(resident) + page - 1) & ~(page - 1);
  const auto bottom = (reinterpret_cast<std::uintptr_t>(resident) - span - 2 * page) & ~(page - 1);
  // A thread that wipes within a span it wiped before (a connection thread
  // serving one request after another) is reusing its stack: it wipes the
  // span whole without asking. That faults in, once, what its first request
  // left untouched; from then on the span is resident.
  thread_local std::uintptr_t wiped_low = 0;
  thread_local std::uintptr_t wiped_high = 0;
  const bool again = bottom >= wiped_low && top <= wiped_high;
  if (!again) {
    wiped_low = bottom;
    wiped_high = top;
  }
  const std::size_t pages = (top - bottom) / page;
  const bool asked =
      !again && pages <= MAX_PAGES && ask_resident(&::mincore, bottom, top - bottom, resident) == 0;

  auto* area = static_cast<unsigned char*>(__builtin_alloca(span));
  const auto low = reinterpret_cast<std::uintptr_t>(area);
  const auto high = low + span;
  if (!asked || low < bottom || high > top) {
    zero_without_call(low, high);
  } else {
    for (std::size_t i = 0; i < pages; ++i) {
      if ((resident[i] & 1) == 0) continue;
      // No std::max or std::min: unoptimised, they are calls as well.
      const std::uintptr_t from = bottom + i * page > low ? bottom + i * page : low;
      const std::uintptr_t to = bottom + (i + 1) * page < high ? bottom + (i + 1) * page : high;
      if (from < to) zero_without_call(from, to);
    }
  }
  // The area is used after the wipe, so the wipe cannot be dropped as dead.
  asm volatile("" : : "r"(area) : "memory");
}

}  // namespace tarnwel
