#include "protocol/json_string.h"

#include <gtest/gtest.h>

#include "protocol/json_text.h"

namespace tarnwel {
namespace {

std::string literal_of(std::string_view text) {
  WipedBytes out;
  append_json_string(out, text);
  return std::string(as_view(out));
}

std::string decoded(std::string_view body) {
  Result<WipedBytes, std::string> bytes = decode_json_string(body);
  EXPECT_TRUE(bytes.ok()) << body;
  return bytes.ok() ? std::string(as_view(bytes.value())) : std::string();
}

// The client writes a secret's literal itself; the agent's writer is the
// reference for the escaping, byte for byte. The decoder reads it back.
TEST(JsonStringTest, EscapesExactlyAsTheAgentsWriterAndReadsBackWhatItWrote) {
  std::string every_byte;
  for (int b = 1; b < 0x80; ++b) every_byte.push_back(static_cast<char>(b));
  every_byte += "\xc3\xa9\xe2\x82\xac\xf0\x9f\x94\x91";  // é € and a key emoji
  for (const std::string& text : {std::string(), std::string("plain"), every_byte,
                                  std::string("a\0b", 3), std::string("\"\\/")}) {
    const Result<std::string, JsonError> reference = encode_compact(Json(text));
    ASSERT_TRUE(reference.ok());
    const std::string literal = literal_of(text);
    EXPECT_EQ(literal, reference.value());
    EXPECT_EQ(decoded(std::string_view(literal).substr(1, literal.size() - 2)), text);
  }
  // Escapes the writer never makes: a slash, upper-case hex, a surrogate pair.
  EXPECT_EQ(decoded(R"(\/\u0041\u00e9\u20AC\ud83d\udd11)"),
            "/A\xc3\xa9\xe2\x82\xac\xf0\x9f\x94\x91");
}

TEST(JsonStringTest, RefusesBadEscapesLoneSurrogatesAndRawControlBytes) {
  for (const std::string_view bad :
       {R"(\x)", R"(ab\)", R"(\u12)", R"(\u12G4)", R"(\ud83d)", R"(\ud83dx)", R"(\ud83d\u0041)",
        R"(\udd11)", "a\nb", "\x01"}) {
    const Result<WipedBytes, std::string> result = decode_json_string(bad);
    ASSERT_FALSE(result.ok()) << bad;
    // The description must never quote the text, which may be a secret.
    EXPECT_EQ(result.error().find(bad), std::string::npos);
  }
}

}  // namespace
}  // namespace tarnwel
