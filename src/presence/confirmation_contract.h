// The contract between the agent and its own confirmation program,
// tarnwel-askpass: what the agent hands it, how much of it, and how long each
// side waits. Both sides include this header and nothing else of each other.
//
// The agent starts the program with no argument but its name (an argument is
// visible to every user in the process list) and these facts in its
// environment, each set by the agent, never inherited:
//   TARNWEL_AGENT_REASON         the client's reason, exactly as received
//   TARNWEL_AGENT_PROFILE        the profile the secret is for
//   TARNWEL_AGENT_REQUESTER_PID  the requesting process's id in decimal; empty when unknown
//   TARNWEL_AGENT_REQUESTER_EXE  its executable's path; empty when unknown
//   TARNWEL_AGENT_CONFIRM_METHOD "password" (the user's login password, through
//                                PAM) or "yes-no" (a plain answer)
// The program builds the "Requested by" line from the requester's two fields
// alone and always shows it last, after the reason and the profile, so no
// reason can forge or hide it. Exit status 0 grants; otherwise the first line
// on standard error is the denial's text.
//
//   std::string reason = env(CONFIRM_REASON_VARIABLE);
//   if (reason.size() > MAX_CONFIRM_REASON_BYTES) refuse();
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace tarnwel {

inline constexpr std::string_view CONFIRM_REASON_VARIABLE = "TARNWEL_AGENT_REASON";
inline constexpr std::string_view CONFIRM_PROFILE_VARIABLE = "TARNWEL_AGENT_PROFILE";
inline constexpr std::string_view REQUESTER_PID_VARIABLE = "TARNWEL_AGENT_REQUESTER_PID";
inline constexpr std::string_view REQUESTER_EXE_VARIABLE = "TARNWEL_AGENT_REQUESTER_EXE";
inline constexpr std::string_view CONFIRM_METHOD_VARIABLE = "TARNWEL_AGENT_CONFIRM_METHOD";
inline constexpr std::string_view CONFIRM_METHOD_PASSWORD = "password";
inline constexpr std::string_view CONFIRM_METHOD_YES_NO = "yes-no";

// The longest reason and profile a question carries: what a terminal can
// show and a person can read, far below what the environment and the
// question's file hold. A longer one is refused before anything is asked.
inline constexpr std::size_t MAX_CONFIRM_REASON_BYTES = 4096;
inline constexpr std::size_t MAX_CONFIRM_PROFILE_BYTES = 1024;
// The question's file holds the reason, the profile and a few short facts.
inline constexpr std::size_t MAX_QUESTION_FILE_BYTES =
    MAX_CONFIRM_REASON_BYTES + MAX_CONFIRM_PROFILE_BYTES + 8192;

// How long the agent waits for the program's answer.
inline constexpr std::chrono::seconds CONFIRM_WAIT{120};
// How much longer than the agent's wait the program's own wait, and a call
// to polkit whose dialog asks, last: the agent ends the question itself at
// its wait, so the other side's limit never ends it first.
inline constexpr std::chrono::seconds CONFIRM_WAIT_MARGIN{5};
// How long the program waits for an answer itself; it only matters when the
// agent has gone.
inline constexpr std::chrono::seconds CONFIRM_PROGRAM_WAIT = CONFIRM_WAIT + CONFIRM_WAIT_MARGIN;
// How long "tarnwelctl confirm" waits for a first question to show up: no
// longer than a question can wait, so that it never answers one posted after
// the user ran it for another.
inline constexpr std::chrono::seconds CONFIRM_ANSWERER_WAIT = CONFIRM_WAIT;

// The denial's text, on either side, once the requesting program has gone.
inline constexpr std::string_view REQUESTER_GONE_TEXT = "the requesting program has gone";

// "Requested by /usr/bin/git (pid 4242)": the path on one line, with control
// characters and line separators replaced, "an unknown program" without one,
// and no pid when it is 0.
std::string requester_line(pid_t pid, std::string_view executable);

}  // namespace tarnwel
