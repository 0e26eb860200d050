// Diagnostic lines on standard error: "tarnwel-agent: " + text + "\n", written
// with one write call so that lines from concurrent threads never interleave.
// Never pass a secret.
#pragma once

#include <string_view>

namespace tarnwel {

void diagnose(std::string_view text);

}  // namespace tarnwel
