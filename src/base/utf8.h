// UTF-8 validation, as strict as the Unicode standard: no overlong forms, no
// surrogates, nothing above U+10FFFF.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwel {

struct Utf8Error {
  std::size_t valid_up_to;  // bytes before the first bad sequence
  std::size_t bad_length;   // length of the bad sequence; 0 if the text ends inside it
};

// The first invalid sequence of `text`, or nothing if it is all valid.
std::optional<Utf8Error> find_invalid_utf8(std::string_view text);

inline bool is_valid_utf8(std::string_view text) { return !find_invalid_utf8(text).has_value(); }

// "invalid utf-8 sequence of 1 bytes from index 3", or
// "incomplete utf-8 byte sequence from index 3".
std::string describe(const Utf8Error& error);

// The code point whose sequence starts at `i` of `text`, which must be valid
// UTF-8; advances `i` past it.
char32_t next_code_point(std::string_view text, std::size_t& i);

// `text` with each invalid sequence replaced by U+FFFD.
std::string utf8_lossy(std::string_view text);

// As utf8_lossy, with every control character (C0, DEL, C1) and the line and
// paragraph separators U+2028 and U+2029 replaced by U+FFFD too: text that
// cannot break the line it is shown on, nor forge a line of its own.
std::string single_line_lossy(std::string_view text);

}  // namespace tarnwel
