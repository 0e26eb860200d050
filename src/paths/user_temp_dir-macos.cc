#include <unistd.h>

#include <string>

#include "base/utf8.h"
#include "paths/user_temp_dir.h"

namespace tarnwel {

std::optional<std::string> user_temp_dir() {
  const std::size_t size = ::confstr(_CS_DARWIN_USER_TEMP_DIR, nullptr, 0);
  if (size == 0) return std::nullopt;
  std::string buf(size, '\0');
  const std::size_t written = ::confstr(_CS_DARWIN_USER_TEMP_DIR, buf.data(), buf.size());
  if (written < 1 || written > size) return std::nullopt;
  buf.resize(written - 1);
  if (!is_valid_utf8(buf)) return std::nullopt;
  return buf;
}

}  // namespace tarnwel
