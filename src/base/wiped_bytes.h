// WipedBytes: a byte buffer for text that may hold a secret (a request that
// carries one, a reply line, a line read from the terminal). Every block it
// gives back, on destruction and on each growth, is overwritten with zeros
// first, so no copy outlives its use in freed memory. The growth is what a
// plain std::string cannot offer: its reallocation frees the old block as it is.
//
// Like std::vector: one thread at a time.
//
//   WipedBytes line;
//   line.insert(line.end(), chunk, chunk + n);  // the old block is wiped on growth
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

#include "base/secure_wipe.h"

namespace tarnwel {

template <class T>
struct WipingAllocator {
  using value_type = T;

  WipingAllocator() = default;
  template <class U>
  WipingAllocator(const WipingAllocator<U>&) noexcept {}  // NOLINT: rebinding is implicit

  T* allocate(std::size_t n) { return std::allocator<T>().allocate(n); }
  void deallocate(T* p, std::size_t n) noexcept {
    secure_wipe(p, n * sizeof(T));
    std::allocator<T>().deallocate(p, n);
  }

  template <class U>
  friend bool operator==(const WipingAllocator&, const WipingAllocator<U>&) noexcept {
    return true;
  }
};

using WipedBytes = std::vector<char, WipingAllocator<char>>;

inline std::string_view as_view(const WipedBytes& bytes) { return {bytes.data(), bytes.size()}; }

inline void append(WipedBytes& out, std::string_view text) {
  out.insert(out.end(), text.begin(), text.end());
}

// Gives `bytes`' whole block back now, wiped (clear() would keep it, unwiped,
// for reuse), and leaves `bytes` empty: for a buffer whose secret is spent.
inline void release(WipedBytes& bytes) { WipedBytes().swap(bytes); }

}  // namespace tarnwel
