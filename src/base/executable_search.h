// Finding a program the way a shell would, without running one.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tarnwel {

// Whether `path` is a regular file this process may execute.
bool is_executable_file(const std::string& path);

// `relative` (a name, or a path such as "../libexec/name") from the directory
// of `file`, when that is an executable file: how a program finds another one
// installed beside its own executable. Nothing when `file` has no directory.
std::optional<std::string> executable_beside(std::string_view file, std::string_view relative);

// The first "<dir>/<name>" along PATH that is an executable file. Only
// absolute directories count: an empty or relative element would name a
// place under the working directory, where anyone who can write there could
// plant a program of that name. Nothing when PATH is unset.
std::optional<std::string> find_on_path(std::string_view name);
// The same along `search_path`, a PATH value.
std::optional<std::string> find_on_path(std::string_view name, std::string_view search_path);

}  // namespace tarnwel
