#include "base/constant_time.h"

namespace tarnwel {

bool same_secret(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  // The differences are gathered through a volatile, so the compiler cannot
  // stop at the first one.
  volatile unsigned char difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    difference = static_cast<unsigned char>(difference | (static_cast<unsigned char>(a[i]) ^
                                                          static_cast<unsigned char>(b[i])));
  }
  return difference == 0;
}

}  // namespace tarnwel
