// The protocol version that the agent and its clients speak. An agent that
// receives a request of another version stops, so that one that matches the
// client can take its place.
#pragma once

#include <cstdint>

namespace tarnwel {

inline constexpr std::uint64_t PROTOCOL_VERSION = 2;

}  // namespace tarnwel
