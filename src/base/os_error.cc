#include "base/os_error.h"

#include <string.h>

#include "base/utf8.h"

namespace tarnwel {
namespace {

// strerror_r comes in two flavours; overloads pick whichever the C library has.
[[maybe_unused]] const char* describe(int result, const char* buf) {  // XSI
  return result == 0 ? buf : nullptr;
}
[[maybe_unused]] const char* describe(const char* result, const char*) {  // GNU
  return result;
}

}  // namespace

std::string os_error_text(int errnum) {
  char buf[256] = {};
  const char* text = describe(::strerror_r(errnum, buf, sizeof buf), buf);
  std::string out = text != nullptr && *text != '\0' ? text : "Unknown error " + std::to_string(errnum);
  out += " (os error ";
  out += std::to_string(errnum);
  out += ')';
  return out;
}

std::string display_path(std::string_view path) { return utf8_lossy(path); }

}  // namespace tarnwel
