// The agent's JSON value type. Objects keep their members in ascending byte
// order of the names (std::map over std::string compares bytes as unsigned
// char), so serialisation is always sorted, whatever the insertion order.
#pragma once

#include <nlohmann/json.hpp>

namespace tarnwel {

using Json = nlohmann::json;

}  // namespace tarnwel
