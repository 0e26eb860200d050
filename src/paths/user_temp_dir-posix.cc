#include "paths/user_temp_dir.h"

namespace tarnwel {

// Other systems have no per-user temporary directory to ask for; the
// environment and the shared temporary directories decide.
std::optional<std::string> user_temp_dir() { return std::nullopt; }

}  // namespace tarnwel
