// Blank text, by the one rule the agent and its clients share: a reason or a
// name made only of white space (the Unicode White_Space property, ASCII's
// and the others alike) says nothing the person at the machine can
// recognise.
//
//   if (is_blank(reason)) return refuse("a non-empty reason is required");
#pragma once

#include <string_view>

namespace tarnwel {

// Whether nothing would be left of `text` after trimming White_Space from
// both ends (true for empty text). Bytes that are not valid UTF-8 are not
// white space.
bool is_blank(std::string_view text);

}  // namespace tarnwel
