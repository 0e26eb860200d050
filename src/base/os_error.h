// System errors, and the display texts for them and for paths that every
// diagnostic shows.
#pragma once

#include <string>
#include <string_view>

namespace tarnwel {

// The system's description of `errnum` followed by " (os error N)",
// e.g. "No such file or directory (os error 2)".
std::string os_error_text(int errnum);

// An errno value from a failed call; every module reports one as this.
struct SysError {
  int number;
  // os_error_text of the number.
  std::string text() const { return os_error_text(number); }
  friend bool operator==(SysError, SysError) = default;
};

// `path` as UTF-8 text, each invalid byte sequence replaced by U+FFFD.
std::string display_path(std::string_view path);

}  // namespace tarnwel
