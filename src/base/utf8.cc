#include "base/utf8.h"

#include <cstdint>

namespace tarnwel {
namespace {

// Length of the valid sequence at `i`, or the error for it.
// Follows the table of well-formed byte sequences (Unicode 15, table 3-7).
struct Step {
  std::size_t length;  // valid sequence length, 0 on error
  std::size_t bad;     // on error: bytes of the maximal bad prefix (0 = truncated at end)
};

Step step_at(std::string_view s, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(s[k]); };
  const std::uint8_t b0 = byte(i);
  if (b0 < 0x80) return {1, 0};
  std::size_t need = 0;
  std::uint8_t lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return {0, 1};
  }
  for (std::size_t k = 1; k <= need; ++k) {
    if (i + k >= s.size()) return {0, 0};
    const std::uint8_t b = byte(i + k);
    const std::uint8_t min = k == 1 ? lo : 0x80;
    const std::uint8_t max = k == 1 ? hi : 0xBF;
    if (b < min || b > max) return {0, k};
  }
  return {need + 1, 0};
}

}  // namespace

std::optional<Utf8Error> find_invalid_utf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    // Fast path for runs of ASCII.
    if (static_cast<std::uint8_t>(text[i]) < 0x80) {
      ++i;
      continue;
    }
    const Step st = step_at(text, i);
    if (st.length == 0) return Utf8Error{i, st.bad};
    i += st.length;
  }
  return std::nullopt;
}

char32_t next_code_point(std::string_view text, std::size_t& i) {
  const auto b0 = static_cast<unsigned char>(text[i++]);
  if (b0 < 0x80) return b0;
  const int extra = b0 >= 0xF0 ? 3 : b0 >= 0xE0 ? 2 : 1;
  char32_t cp = b0 & (0x3F >> extra);
  for (int k = 0; k < extra && i < text.size(); ++k) {
    cp = (cp << 6) | (static_cast<unsigned char>(text[i++]) & 0x3F);
  }
  return cp;
}

std::string describe(const Utf8Error& error) {
  if (error.bad_length == 0) {
    return "incomplete utf-8 byte sequence from index " + std::to_string(error.valid_up_to);
  }
  return "invalid utf-8 sequence of " + std::to_string(error.bad_length) + " bytes from index " +
         std::to_string(error.valid_up_to);
}

std::string utf8_lossy(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const Step st = step_at(text, i);
    if (st.length > 0) {
      out.append(text.substr(i, st.length));
      i += st.length;
      continue;
    }
    out += "\xEF\xBF\xBD";
    i += st.bad == 0 ? text.size() - i : st.bad;
  }
  return out;
}

std::string single_line_lossy(std::string_view text) {
  constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";
  const std::string valid = utf8_lossy(text);
  const std::string_view rest = valid;
  std::string out;
  out.reserve(valid.size());
  std::size_t i = 0;
  while (i < rest.size()) {
    const auto byte = static_cast<unsigned char>(rest[i]);
    if (byte < 0x20 || byte == 0x7F) {
      out += REPLACEMENT;
      i += 1;
    } else if (byte == 0xC2 && static_cast<unsigned char>(rest[i + 1]) <= 0x9F) {
      out += REPLACEMENT;  // C1: U+0080 to U+009F
      i += 2;
    } else if (rest.substr(i).starts_with("\xE2\x80\xA8") ||
               rest.substr(i).starts_with("\xE2\x80\xA9")) {
      out += REPLACEMENT;
      i += 3;
    } else {
      out += rest[i];
      i += 1;
    }
  }
  return out;
}

}  // namespace tarnwel
