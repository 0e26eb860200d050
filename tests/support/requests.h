// Requests for the tests that speak to a real agent, built as JSON so that any secret or profile
// is escaped correctly, and a random secret that no agent could hold by
// chance.
#pragma once

#include <string>
#include <string_view>

namespace tarnwel::testing {

// An unlock with the reason "test" and no ttl_seconds.
std::string unlock_line(std::string_view profile, std::string_view secret);
std::string get_secret_line(std::string_view profile);
std::string lock_line(std::string_view profile);

// 64 random lowercase hexadecimal digits (256 bits): printable, valid UTF-8,
// and unique enough to be searched for in the agent's memory.
std::string random_secret();

}  // namespace tarnwel::testing
