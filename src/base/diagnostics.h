// Diagnostic lines on standard error: "{program}: " + text + "\n", written
// with one write call so that lines from concurrent threads never interleave.
// Each program passes its own name. Never pass a secret.
//
//   diagnose_as("tarnwelctl", "no agent is running");
#pragma once

#include <string_view>

namespace tarnwel {

void diagnose_as(std::string_view program, std::string_view text);

// The agent's own diagnostics.
inline void diagnose(std::string_view text) { diagnose_as("tarnwel-agent", text); }

}  // namespace tarnwel
