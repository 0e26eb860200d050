// The request lines a client sends: the envelope (protocol version and
// command), the command's members, and how long its reply may take.
//
//   RequestLine ping = command_request("ping");
//   RequestLine unlock = unlock_request("deploy", "deploy to prod", secret, 3600);
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "base/wiped_bytes.h"
#include "protocol/json.h"

namespace tarnwel {

// How long a reply may take: Presence for "unlock", which waits while the
// user is asked; Prompt for every other command.
enum class ReplyWait { Prompt, Presence };

struct RequestLine {
  WipedBytes text;  // one JSON text and its newline
  ReplyWait wait;
};

// `members` (an object) with "cmd" and "protocol_version" added.
RequestLine command_request(std::string_view cmd, Json members = Json::object());

// A "get_secret" request for `profile`.
RequestLine get_secret_request(std::string_view profile);

// A "lock" request for one profile, or for every one when none is given.
RequestLine lock_request(std::optional<std::string_view> profile);

// An "unlock" request. The secret is written into the line by the client's
// own escaper, never into a JSON value of the library.
RequestLine unlock_request(std::string_view profile, std::string_view reason,
                           std::string_view secret, std::optional<std::uint64_t> ttl_seconds);

// `request` exactly as given, whatever it holds; the wait follows its "cmd".
RequestLine raw_request(const Json& request);

}  // namespace tarnwel
