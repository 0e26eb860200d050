// JSON string literals written and read straight into wiped buffers. A
// secret's literal is handled here rather than through the JSON library, whose
// parser and serialiser keep working copies (token buffers, raw token text) in
// memory they free without wiping: by the client for its requests, and by the
// agent for the "get_secret" reply, which it also spares the library's work.
//
//   WipedBytes line;
//   append_json_string(line, secret);            // "s3cr\"et", escaped as encode_compact does
//   Result<WipedBytes, std::string> bytes = decode_json_string(R"(s3cr\"et)");
#pragma once

#include <string>
#include <string_view>

#include "base/result.h"
#include "base/wiped_bytes.h"

namespace tarnwel {

// Appends `text` as a quoted literal, escaped as encode_compact escapes: \" \\ \b
// \t \n \f \r, \u00xx (lowercase) for other control bytes, all else as is.
void append_json_string(WipedBytes& out, std::string_view text);

// Decodes the body of a literal (the text between its quotes), resolving every
// escape, \uXXXX surrogate pairs included. Fails, with a description that holds
// none of the text, on a bad escape, a lone surrogate or a raw control byte.
Result<WipedBytes, std::string> decode_json_string(std::string_view body);

// Where the literal that opens at `start` (a double quote) ends: the index just
// past its closing quote, or `text.size() + 1` when it never closes.
std::size_t end_of_json_string(std::string_view text, std::size_t start);

}  // namespace tarnwel
