// Reading and parsing one request, as every connection thread does first.
#include <unistd.h>

#include <chrono>
#include <string>
#include <string_view>

#include <benchmark/benchmark.h>

#include "protocol/framing.h"
#include "protocol/json_text.h"
#include "socket_pair.h"

namespace tarnwel::bench {
namespace {

constexpr std::string_view GET_SECRET_LINE =
    "{\"cmd\":\"get_secret\",\"profile\":\"work\",\"protocol_version\":2}\n";

// One write of the request by the peer, then read_message: the system calls
// (setsockopt, read) plus the UTF-8 check and the parse.
void BM_read_message_request(benchmark::State& state) {
  SocketPair pair;
  for (auto _ : state) {
    if (::write(pair.theirs.get(), GET_SECRET_LINE.data(), GET_SECRET_LINE.size()) < 0) {
      state.SkipWithError("write failed");
      break;
    }
    Result<Json, FramingError> request = read_message(pair.ours.get(), std::chrono::seconds(5));
    benchmark::DoNotOptimize(request);
  }
}
BENCHMARK(BM_read_message_request);

// The parse alone, to tell it apart from the system calls above.
void BM_parse_request(benchmark::State& state) {
  const std::string_view text = GET_SECRET_LINE.substr(0, GET_SECRET_LINE.size() - 1);
  for (auto _ : state) {
    Result<Json, JsonError> request = parse_json_text(text);
    benchmark::DoNotOptimize(request);
  }
}
BENCHMARK(BM_parse_request);

}  // namespace
}  // namespace tarnwel::bench
