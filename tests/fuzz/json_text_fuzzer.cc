// parse_json_text and encode_compact on any UTF-8 text (the framing layer
// refuses anything else before parsing). Whatever parses encodes, and the
// encoding is one line that parses back to a value with the same encoding.
// Exactly equal values are not required: a number too large for a double
// parses as infinity, which the encoding writes as null.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/utf8.h"
#include "fuzz/fuzz_check.h"
#include "protocol/json_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarnwel;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!is_valid_utf8(text)) return 0;
  const Result<Json, JsonError> parsed = parse_json_text(text);
  if (!parsed.ok()) return 0;

  const Result<std::string, JsonError> encoded = encode_compact(parsed.value());
  FUZZ_CHECK(encoded.ok(), "a parsed value encodes");
  FUZZ_CHECK(encoded.value().find('\n') == std::string::npos, "an encoding is one line");
  const Result<Json, JsonError> again = parse_json_text(encoded.value());
  FUZZ_CHECK(again.ok(), "an encoding parses");
  const Result<std::string, JsonError> reencoded = encode_compact(again.value());
  FUZZ_CHECK(reencoded.ok() && reencoded.value() == encoded.value(),
             "an encoding survives a round trip unchanged");
  return 0;
}
