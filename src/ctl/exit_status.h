// tarnwelctl's exit statuses, one per class of outcome, so that scripts can
// tell "the agent said no" from "there is no agent" without parsing text.
#pragma once

namespace tarnwel {

inline constexpr int EXIT_SUCCEEDED = 0;
// The agent answered with an error (not_cached, presence_denied, ...).
inline constexpr int EXIT_AGENT_ERROR = 1;
// The command line was wrong, or the secret on standard input was unusable.
inline constexpr int EXIT_USAGE = 2;
// No agent is running (nothing listens at the socket path).
inline constexpr int EXIT_NO_AGENT = 3;
// Talking to the agent failed (connect, send, receive, time limit), its reply
// broke the protocol, or the output could not be written.
inline constexpr int EXIT_COMMUNICATION = 4;
// No agent could be started ("start", or "unlock" starting one by itself).
inline constexpr int EXIT_START_FAILED = 5;
// Nothing was sent: the socket's directory is not private to this user, or
// the process listening at the socket runs as another user.
inline constexpr int EXIT_UNTRUSTED = 6;
// "run" passes its command's exit status on, so its own failures (the command
// line, no agent, no secret, an untrusted socket) all take 125, which commands
// seldom use, as env(1), nice(1) and timeout(1) do. 127 when there is no such
// program, 126 when it exists but cannot be run, as the shells report it.
inline constexpr int EXIT_RUN_FAILED = 125;
inline constexpr int EXIT_CANNOT_RUN = 126;
inline constexpr int EXIT_COMMAND_NOT_FOUND = 127;

}  // namespace tarnwel
