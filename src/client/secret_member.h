// Takes the "secret" member out of a reply line before the line goes to the
// JSON library: the literal is decoded into a LockedSecret and then blanked in
// place, so that what the library parses no longer holds the secret.
//
//   WipedBytes line = ...;  // {"ok":true,"secret":"s3cret"}
//   auto secret = take_secret_member(line);
//   // line is now {"ok":true,"secret":""      }, still one JSON object
#pragma once

#include <optional>
#include <string>

#include "base/result.h"
#include "base/wiped_bytes.h"
#include "secret_cache/locked_secret.h"

namespace tarnwel {

// Looks for a top-level member named "secret" with a string value in the
// object on `line`. Returns its decoded bytes (the last one, if the name
// repeats, as a JSON reader would keep it) or nothing when there is none, and
// overwrites every such literal with "" followed by blanks. Fails when the
// line is not an object that can be scanned, or the literal cannot be decoded;
// the text of the failure never holds any of the line.
Result<std::optional<LockedSecret>, std::string> take_secret_member(WipedBytes& line);

}  // namespace tarnwel
