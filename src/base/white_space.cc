#include "base/white_space.h"

#include <cstddef>

namespace tarnwel {
namespace {

// The characters with the Unicode White_Space property beyond ASCII, as UTF-8.
constexpr std::string_view NON_ASCII_WHITE_SPACE[] = {
    "\xC2\x85",      // U+0085
    "\xC2\xA0",      // U+00A0
    "\xE1\x9A\x80",  // U+1680
    "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85",
    "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A",  // U+2000-200A
    "\xE2\x80\xA8",                                                                  // U+2028
    "\xE2\x80\xA9",                                                                  // U+2029
    "\xE2\x80\xAF",                                                                  // U+202F
    "\xE2\x81\x9F",                                                                  // U+205F
    "\xE3\x80\x80",                                                                  // U+3000
};

// Bytes of the White_Space character that `text` starts with; 0 if none.
std::size_t white_space_prefix(std::string_view text) {
  if (text.empty()) return 0;
  const char c = text.front();
  if ((c >= '\t' && c <= '\r') || c == ' ') return 1;
  for (std::string_view space : NON_ASCII_WHITE_SPACE) {
    if (text.starts_with(space)) return space.size();
  }
  return 0;
}

}  // namespace

bool is_blank(std::string_view text) {
  while (!text.empty()) {
    const std::size_t space = white_space_prefix(text);
    if (space == 0) return false;
    text.remove_prefix(space);
  }
  return true;
}

}  // namespace tarnwel
