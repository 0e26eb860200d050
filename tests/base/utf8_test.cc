#include "base/utf8.h"

#include <gtest/gtest.h>

#include "base/os_error.h"

namespace tarnwel {
namespace {

TEST(Utf8Test, RejectsEveryIllFormedSequenceAndNamesWhere) {
  EXPECT_TRUE(is_valid_utf8("plain ascii"));
  EXPECT_TRUE(is_valid_utf8("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x94\x91"));  // é € 🔑
  EXPECT_TRUE(is_valid_utf8("\xF4\x8F\xBF\xBF"));                      // U+10FFFF

  struct Case {
    const char* text;
    std::size_t valid_up_to;
    std::size_t bad_length;
  };
  const Case cases[] = {
      {"ab\x80", 2, 1},          // lone continuation byte
      {"\xC0\xAF", 0, 1},        // overlong lead byte
      {"\xE0\x80\xAF", 0, 1},    // overlong three-byte form
      {"\xED\xA0\x80", 0, 1},    // surrogate U+D800
      {"\xF4\x90\x80\x80", 0, 1},  // above U+10FFFF
      {"x\xE2\x82y", 1, 2},      // truncated by a non-continuation byte
      {"x\xE2\x82", 1, 0},       // truncated by the end of the text
      {"\xFF", 0, 1},
  };
  for (const Case& c : cases) {
    const auto error = find_invalid_utf8(c.text);
    ASSERT_TRUE(error.has_value()) << c.text;
    EXPECT_EQ(error->valid_up_to, c.valid_up_to) << c.text;
    EXPECT_EQ(error->bad_length, c.bad_length) << c.text;
  }
  EXPECT_EQ(describe(*find_invalid_utf8("ab\x80")), "invalid utf-8 sequence of 1 bytes from index 2");
  EXPECT_EQ(describe(*find_invalid_utf8("x\xE2\x82")), "incomplete utf-8 byte sequence from index 1");
}

TEST(Utf8Test, LossyTextReplacesEachBadSequenceOnce) {
  EXPECT_EQ(utf8_lossy("/tmp/a\xFF" "b"), "/tmp/a\xEF\xBF\xBD" "b");
  EXPECT_EQ(utf8_lossy("x\xE2\x82y"), "x\xEF\xBF\xBDy");
  EXPECT_EQ(utf8_lossy("end\xF0\x9F"), "end\xEF\xBF\xBD");
  EXPECT_EQ(display_path("/caf\xC3\xA9"), "/caf\xC3\xA9");
}

}  // namespace
}  // namespace tarnwel
