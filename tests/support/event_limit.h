// The one bound on every wait of the tests for something expected promptly.
#pragma once

#include <chrono>

namespace tarnwel::testing {

// Far above any healthy delay, so that it only ever ends a test that has
// failed (or would hang).
inline constexpr std::chrono::milliseconds EVENT_LIMIT = std::chrono::seconds(15);

}  // namespace tarnwel::testing
