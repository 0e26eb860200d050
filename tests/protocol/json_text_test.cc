#include "protocol/json_text.h"

#include <string>

#include <gtest/gtest.h>

namespace tarnwel {
namespace {

// Flat objects of plain strings and unsigned integers are read without the
// library's parser; every text must still come out as the library reads it,
// the same value of the same types or a failure. CBOR tells an unsigned 2
// from a 2.0, which == would not.
TEST(JsonTextTest, ReadsEveryTextAsTheLibraryDoes) {
  for (const std::string text : {
           // Read directly.
           R"({"cmd":"ping","protocol_version":2})", "{}", " \t{ }\r\n", R"({"":""})",
           " {\t\"a\" :\r\"b\" ,\n\"c\":0 } ", R"({"a":1,"a":"last"})",
           R"({"max":18446744073709551615})", "{\"x\":\"\xc3\xa9\x7f/\"}",
           // Left to the library: accepted...
           R"({"big":18446744073709551616})", R"({"n":-1})", R"({"n":-0})", R"({"f":1.0})",
           R"({"e":1e2})", R"({"E":1E2})", R"({"t":true,"u":null})", R"({"s":"a\"b"})",
           R"({"k\u0041":1})", R"({"o":{"p":[1]}})", R"([1])", R"("s")", "7",
           // ...and refused.
           R"({"a":01})", R"({"a":1,})", R"({"a":1}x)", R"({"a":1x})", R"({"a" 1})", R"({"a":})",
           "{\"a\":\"\x01\"}", R"({"a":"open)", R"({"a")", "{", "", R"({a:1})", R"({"a":.5})"}) {
    const Result<Json, JsonError> ours = parse_json_text(text);
    const Json library = Json::parse(text, nullptr, /*allow_exceptions=*/false);
    ASSERT_EQ(ours.ok(), !library.is_discarded()) << text;
    if (ours.ok()) {
      EXPECT_EQ(Json::to_cbor(ours.value()), Json::to_cbor(library)) << text;
    }
  }
}

}  // namespace
}  // namespace tarnwel
