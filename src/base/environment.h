// Looking up the environment through a seam, so that what depends on it can
// be given any environment in a test.
//
//   std::string base = choose_base_dir(process_env);
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace tarnwel {

// Reads one environment variable; empty optional when unset.
using EnvLookup = std::function<std::optional<std::string>(const char* name)>;

// The process's real environment.
std::optional<std::string> process_env(const char* name);

}  // namespace tarnwel
