// tarnwelctl's output: whole writes to stdout (the secret of "get" goes out
// straight from its wiped buffer, never through a stream's own buffer) and
// messages on stderr.
#pragma once

#include <string_view>

namespace tarnwel {

// "tarnwelctl: " + text + "\n" on stderr, in one write.
void report(std::string_view text);

// `text` on stderr as it is (a prompt).
void report_raw(std::string_view text);

}  // namespace tarnwel
