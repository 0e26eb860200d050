// Finding a program the way a shell would, without running one.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tarnwel {

// Whether `path` is a regular file this process may execute.
bool is_executable_file(const std::string& path);

// The first "<dir>/<name>" along PATH that is an executable file; an empty
// PATH element names the working directory. Nothing when PATH is unset.
std::optional<std::string> find_on_path(std::string_view name);

}  // namespace tarnwel
