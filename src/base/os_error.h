// Display texts for system errors and paths, as every diagnostic shows them.
#pragma once

#include <string>
#include <string_view>

namespace tarnwel {

// The system's description of `errnum` followed by " (os error N)",
// e.g. "No such file or directory (os error 2)".
std::string os_error_text(int errnum);

// `path` as UTF-8 text, each invalid byte sequence replaced by U+FFFD.
std::string display_path(std::string_view path);

}  // namespace tarnwel
