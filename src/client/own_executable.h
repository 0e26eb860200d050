// The path of this process's own executable, where the platform tells it
// (Linux: /proc/self/exe; macOS: _NSGetExecutablePath); nothing elsewhere.
// Each platform file defines it.
#pragma once

#include <optional>
#include <string>

namespace tarnwel {

std::optional<std::string> own_executable_path();

}  // namespace tarnwel
