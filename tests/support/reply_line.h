// Whether bytes read from the agent are exactly one reply: one line of
// compact JSON (no white space, members in byte order) holding an object with
// a boolean "ok", and a single 0x0A at its end. Shared by the stress tests and
// the request fuzzer; no test framework in here.
//
//   std::optional<Json> reply = parse_reply_line(read_reply(stream.get()));
//   if (!reply) ADD_FAILURE() << "not one well-formed reply";
#pragma once

#include <optional>
#include <string_view>

#include "protocol/json.h"
#include "protocol/json_text.h"

namespace tarnwel::testing {

inline std::optional<Json> parse_reply_line(std::string_view bytes) {
  if (bytes.empty() || bytes.find('\n') != bytes.size() - 1) return std::nullopt;
  const std::string_view text = bytes.substr(0, bytes.size() - 1);
  Result<Json, JsonError> value = parse_json_text(text);
  if (!value.ok() || !value.value().is_object()) return std::nullopt;
  const auto ok = value.value().find("ok");
  if (ok == value.value().end() || !ok->is_boolean()) return std::nullopt;
  // Compact and sorted: encoding the parsed value again gives the same bytes.
  const Result<std::string, JsonError> again = encode_compact(value.value());
  if (!again.ok() || again.value() != text) return std::nullopt;
  return std::move(value).value();
}

}  // namespace tarnwel::testing
