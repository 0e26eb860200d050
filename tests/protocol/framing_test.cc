#include "protocol/framing.h"

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "base/utf8.h"
#include "support/socket_pair.h"

namespace tarnwel {
namespace {

using namespace std::chrono_literals;
using testing::make_socket_pair;
using testing::read_all;
using testing::send_all;

// What read_message makes of `bytes` sent by a peer that then closes.
Result<Json, FramingError> read_bytes(std::string_view bytes) {
  auto pair = make_socket_pair();
  std::thread writer([&] {
    send_all(pair.peer.get(), bytes);
    pair.peer.reset();
  });
  auto result = read_message(pair.ours.get(), 5s);
  writer.join();
  return result;
}

std::string read_error(std::string_view bytes) {
  auto result = read_bytes(bytes);
  if (result.ok()) return "(read " + result.value().dump() + ")";
  return result.error().text;
}

std::string frame_of(const Json& value) {
  auto pair = make_socket_pair();
  std::string frame;
  std::thread reader([&] { frame = read_all(pair.peer.get()); });
  const auto written = write_message(pair.ours.get(), value);
  EXPECT_TRUE(written.ok()) << (written.ok() ? "" : written.error().text);
  pair.ours.reset();
  reader.join();
  return frame;
}

TEST(FramingTest, ReadsOneObjectHoweverItArrives) {
  // Byte by byte, with the peer still connected afterwards.
  auto pair = make_socket_pair();
  const std::string request = "{\"cmd\":\"ping\",\"protocol_version\":2}\n";
  std::thread writer([&] {
    for (char c : request) send_all(pair.peer.get(), std::string_view(&c, 1));
  });
  auto trickled = read_message(pair.ours.get(), 5s);
  writer.join();
  ASSERT_TRUE(trickled.ok());
  EXPECT_EQ(trickled.value(), (Json{{"cmd", "ping"}, {"protocol_version", 2}}));

  // A carriage return is white space; of repeated names the last counts;
  // anything after the newline is never seen.
  auto crlf = read_bytes(" {\"a\":0,\"a\":1}\r\n{\"second\":true}\nnot json at all");
  ASSERT_TRUE(crlf.ok());
  EXPECT_EQ(crlf.value(), (Json{{"a", 1}}));
}

TEST(FramingTest, RefusesWhatIsNotOneJsonObjectQuotingNoInput) {
  for (const char* not_object : {"[1,2]\n", "\"ping\"\n", "2\n", "null\n", "true\n"}) {
    EXPECT_EQ(read_error(not_object), "message must be a JSON object") << not_object;
  }
  EXPECT_EQ(read_error("{\"cmd\":\"p\xFFng\"}\n"),
            "malformed message: invalid utf-8 sequence of 1 bytes from index 9");

  // The JSON library words its own parse errors, which may change with its
  // version; what holds is the agent's: its prefix, the library's tag gone,
  // and no input quoted. The library would end a lexical error with
  // "; last read: '...'" and the bytes it read last: here a secret's, quote
  // characters included, or half a two-byte character.
  for (const char* unparsable : {"\n", "{} {}\n", "{\"secret\":\"hunter2 it's ' \x01\"}\n",
                                 "{\"cmd\":\"ping\",\xC3\xA9}\n"}) {
    const std::string error = read_error(unparsable);
    EXPECT_TRUE(error.starts_with("malformed message: ")) << error;
    EXPECT_EQ(error.find("json.exception"), std::string::npos) << error;
    EXPECT_EQ(error.find("last read"), std::string::npos) << error;
    EXPECT_EQ(error.find("hunter2"), std::string::npos) << error;
    EXPECT_TRUE(is_valid_utf8(error)) << error;
  }
}

TEST(FramingTest, NestingLimitIs127Levels) {
  const auto nested = [](int levels) {
    // One object holding arrays: `levels` brackets open at once.
    return "{\"a\":" + std::string(levels - 1, '[') + std::string(levels - 1, ']') + "}\n";
  };
  EXPECT_TRUE(read_bytes(nested(127)).ok());
  EXPECT_EQ(read_error(nested(128)),
            "malformed message: parse error at line 1, column 132: nesting too deep; at most 127 "
            "levels of arrays and objects are allowed");
  // Brackets inside strings are not nesting.
  EXPECT_TRUE(read_bytes("{\"a\":\"" + std::string(300, '[') + "\"}\n").ok());
}

TEST(FramingTest, ReportsHowTheStreamEnded) {
  EXPECT_EQ(read_error(""), "connection closed before any data was received");
  EXPECT_EQ(read_error("{\"cmd\""), "connection closed mid-message");

  // The limit covers the whole message: a peer that keeps sending but never
  // finishes times out all the same.
  auto pair = make_socket_pair();
  std::atomic<bool> stop{false};
  std::thread trickle([&] {
    send_all(pair.peer.get(), "{");
    while (!stop) {
      send_all(pair.peer.get(), " ");
      std::this_thread::sleep_for(5ms);
    }
  });
  auto result = read_message(pair.ours.get(), 100ms);
  stop = true;
  trickle.join();
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().text, "timed out waiting for a message");
}

TEST(FramingTest, SizeLimitIsAMillionBytesWithTheNewline) {
  // {"a":"xxx..."} is 8 bytes of syntax around the padding.
  const Json largest = {{"a", std::string(999'999 - 8, 'x')}};
  const std::string frame = frame_of(largest);
  EXPECT_EQ(frame.size(), MAX_MESSAGE_BYTES);
  auto read = read_bytes(frame);
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(read.value(), largest);

  EXPECT_EQ(read_error(std::string(1'000'001, ' ')), "message too large (1000001 bytes)");

  auto pair = make_socket_pair();
  const auto refused = write_message(pair.ours.get(), Json{{"a", std::string(999'999 - 7, 'x')}});
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().text, "message too large (1000001 bytes)");
  pair.ours.reset();
  EXPECT_EQ(read_all(pair.peer.get()), "") << "nothing may be written for a refused value";
}

TEST(FramingTest, WritesCompactSortedAndEscapedExactly) {
  const std::string every_escape("\"\\\b\t\n\f\r\x01\x1f\x00/\x7f\xC3\xA9", 14);
  EXPECT_EQ(frame_of(Json{{"s", every_escape}}),
            "{\"s\":\"\\\"\\\\\\b\\t\\n\\f\\r\\u0001\\u001f\\u0000/\x7f\xC3\xA9\"}\n");

  // Byte order, not insertion order; upper case before lower case; nesting
  // compact too.
  EXPECT_EQ(
      frame_of(Json{{"b", Json::array({1, -2, nullptr})}, {"a", Json::object()}, {"B", false}}),
      "{\"B\":false,\"a\":{},\"b\":[1,-2,null]}\n");
}

}  // namespace
}  // namespace tarnwel
