// Reading the secret for "unlock" from standard input, never from an argument
// or the environment, where other processes of the user could see it.
//
// From a terminal: a prompt on stderr, then one line read with echo off. From
// a pipe or a file: everything up to the end of input. Either way one trailing
// newline is removed, so `echo "$secret" | tarnwelctl unlock ...` stores the
// secret as it was; the text must be valid UTF-8.
//
//   Result<WipedBytes, std::string> secret = read_secret(STDIN_FILENO, "deploy");
#pragma once

#include <string>
#include <string_view>

#include "base/result.h"
#include "base/wiped_bytes.h"

namespace tarnwel {

// The largest secret accepted; with its request it must fit one message.
inline constexpr std::size_t MAX_SECRET_BYTES = 900'000;

Result<WipedBytes, std::string> read_secret(int fd, std::string_view profile);

}  // namespace tarnwel
