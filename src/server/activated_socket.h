// The listener a service manager hands the agent when it starts it for the
// first connection: systemd's socket activation on Linux (LISTEN_PID,
// LISTEN_FDS, the socket at descriptor 3) and a launchd job's Sockets entry
// on macOS (launch_activate_socket). Without one the agent binds its own.
//
// A handed socket must listen at the path that clients compute, in the
// runtime directory socket_path() has checked, and its file must be this
// user's (made 0600 if it is more open); anything else there is refused, so
// that no client's secret goes to a socket the service manager was told to
// put elsewhere. The service manager owns the file: the agent serves it and
// never removes it.
//
// Call once, on the main thread, before any other thread starts: it removes
// the hand-over's variables from the environment, so that no program the
// agent starts takes them for its own.
//
//   Result<std::optional<UniqueFd>, std::string> handed = take_activated_socket(path);
//   if (!handed.ok()) return StartupFailure{handed.error(), 1};
//   if (handed.value()) serve(*handed.value(), "", ...);  // else bind as ever
#pragma once

#include <optional>
#include <string>

#include "base/result.h"
#include "base/unique_fd.h"

namespace tarnwel {

// The listener handed to this process, checked against `path`; nothing when
// none was handed (not started by a service manager, or the hand-over was
// meant for another process); the diagnostic, without the program's name,
// when the hand-over is plainly wrong.
Result<std::optional<UniqueFd>, std::string> take_activated_socket(const std::string& path);

// The platform's part: the handed listener, unchecked, or the same nothing
// or diagnostic.
Result<std::optional<UniqueFd>, std::string> handed_listener();

}  // namespace tarnwel
