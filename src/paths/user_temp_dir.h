// The platform's per-user temporary directory, where it has one (macOS:
// confstr(_CS_DARWIN_USER_TEMP_DIR)); nothing elsewhere. Each platform file
// defines it.
#pragma once

#include <optional>
#include <string>

namespace tarnwel {

std::optional<std::string> user_temp_dir();

}  // namespace tarnwel
