// A fresh random name for one question: 128 bits from the system's entropy
// source, as 32 lowercase hex digits. No two questions share one, so an answer
// addressed to a nonce can only ever reach the question that was posted with it.
//
//   Result<std::string, SysError> nonce = random_nonce();
#pragma once

#include <string>
#include <string_view>

#include "base/os_error.h"
#include "base/result.h"

namespace tarnwel {

inline constexpr std::size_t NONCE_HEX_DIGITS = 32;

Result<std::string, SysError> random_nonce();

// Whether `text` has the form random_nonce() gives.
bool is_nonce(std::string_view text);

}  // namespace tarnwel
