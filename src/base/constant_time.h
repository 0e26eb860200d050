// Comparing secrets without leaking where they differ.
//
//   if (same_secret(as_view(given), cached.bytes())) return;  // nothing to do
#pragma once

#include <string_view>

namespace tarnwel {

// Whether `a` and `b` hold the same bytes. The time taken depends on their
// lengths only, never on their contents: every byte is looked at.
bool same_secret(std::string_view a, std::string_view b) noexcept;

}  // namespace tarnwel
