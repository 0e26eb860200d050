// Turning text into one JSON value and a value into compact text.
//
//   Result<Json, JsonError> v = parse_json_text(R"({"cmd":"ping"})");
//   Result<std::string, JsonError> t = encode_compact(v.value());
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/result.h"
#include "base/wiped_bytes.h"
#include "protocol/json.h"

namespace tarnwel {

// Why a text is not one JSON value, or a value cannot be encoded: the
// library's description, naming the problem (and, for parsing, its line and
// column).
struct JsonError {
  std::string description;
};

// Arrays and objects open at once; one more is a parse error.
inline constexpr std::size_t MAX_JSON_DEPTH = 127;

// Parses exactly one JSON value, white space allowed around it. `text` must
// already be valid UTF-8. Integers without fraction or exponent are stored
// unsigned when non-negative and fitting, signed when negative and fitting,
// double otherwise; a repeated member name keeps its last value.
Result<Json, JsonError> parse_json_text(std::string_view text);

// Compact text: no white space, members in byte order, strings escaped as
// \" \\ \b \t \n \f \r and \u00xx (lowercase hex) for other control bytes,
// everything else (the slash, 0x7F, non-ASCII) as UTF-8. Fails only on
// strings that are not valid UTF-8.
Result<std::string, JsonError> encode_compact(const Json& value);

// The same text, appended to `out` straight from the serialiser, so that no
// copy of it is left in memory freed unwiped. On failure `out` holds part of
// the text.
Result<Ok, JsonError> append_compact(WipedBytes& out, const Json& value);

}  // namespace tarnwel
