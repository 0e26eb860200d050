#include "confirm/nonce.h"

#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>

namespace tarnwel {

Result<std::string, SysError> random_nonce() {
  std::array<unsigned char, NONCE_HEX_DIGITS / 2> bytes{};
#if defined(__APPLE__)
  // The system's own generator, seeded by the kernel; it cannot fail.
  ::arc4random_buf(bytes.data(), bytes.size());
#else
  if (::getentropy(bytes.data(), bytes.size()) != 0) return SysError{errno};
#endif
  constexpr std::string_view DIGITS = "0123456789abcdef";
  std::string nonce;
  for (const unsigned char byte : bytes) {
    nonce += DIGITS[byte >> 4];
    nonce += DIGITS[byte & 0xf];
  }
  return nonce;
}

bool is_nonce(std::string_view text) {
  if (text.size() != NONCE_HEX_DIGITS) return false;
  for (const char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

}  // namespace tarnwel
