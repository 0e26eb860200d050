// The agent's work for one connection, without the accept loop: the whole
// handle_connection over a socket pair, the thread each connection gets, and
// the "status" reply with 10,000 profiles, built, encoded and written.
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include <benchmark/benchmark.h>

#include "granting_backend.h"
#include "protocol/framing.h"
#include "protocol/json_text.h"
#include "server/cache_commands.h"
#include "server/connection.h"
#include "server/dispatch.h"
#include "server/shutdown_flag.h"
#include "socket_pair.h"

namespace tarnwel::bench {
namespace {

// Reads and throws away everything until the peer closes, so that large
// replies never fill the socket buffer.
class Drain {
 public:
  explicit Drain(int fd)
      : thread_([fd] {
          char chunk[65536];
          while (::read(fd, chunk, sizeof chunk) > 0) {
          }
        }) {}

 private:
  std::jthread thread_;
};

// A fresh socket pair per request, as a fresh connection would be; the peer
// writes the request first, then reads the whole reply.
void run_connection(benchmark::State& state, std::string_view line,
                    const std::shared_ptr<SecretCache>& cache) {
  auto shutdown = std::make_shared<ShutdownFlag>();
  char reply[4096];
  for (auto _ : state) {
    SocketPair pair;
    if (::write(pair.theirs.get(), line.data(), line.size()) < 0) {
      state.SkipWithError("write failed");
      break;
    }
    handle_connection(std::move(pair.ours), cache, shutdown);
    benchmark::DoNotOptimize(::read(pair.theirs.get(), reply, sizeof reply));
  }
}

std::shared_ptr<SecretCache> cache_with(int profiles) {
  std::shared_ptr<SecretCache> cache = make_granting_cache();
  fill_profiles(*cache, profiles);
  return cache;
}

void BM_handle_connection_ping(benchmark::State& state) {
  run_connection(state, "{\"cmd\":\"ping\",\"protocol_version\":2}\n", cache_with(0));
}
BENCHMARK(BM_handle_connection_ping);

void BM_handle_connection_get_secret(benchmark::State& state) {
  run_connection(state,
                 "{\"cmd\":\"get_secret\",\"profile\":\"profile-00000\",\"protocol_version\":2}\n",
                 cache_with(1));
}
BENCHMARK(BM_handle_connection_get_secret);

// The agent's own work for one request without a socket: the parse, the
// handler and the encoding into the reply's frame, every allocation wiped as
// the agent wipes it.
void run_in_memory(benchmark::State& state, std::string_view line,
                   const std::shared_ptr<SecretCache>& cache) {
  ShutdownFlag shutdown;
  for (auto _ : state) {
    Result<Json, JsonError> request = parse_json_text(line);
    const HandledRequest handled = handle_request(request.value(), *cache, shutdown);
    benchmark::DoNotOptimize(handled.reply.data());
  }
}

void BM_request_in_memory_ping(benchmark::State& state) {
  run_in_memory(state, "{\"cmd\":\"ping\",\"protocol_version\":2}", cache_with(0));
}
BENCHMARK(BM_request_in_memory_ping);

void BM_request_in_memory_get_secret(benchmark::State& state) {
  run_in_memory(state,
                "{\"cmd\":\"get_secret\",\"profile\":\"profile-00000\",\"protocol_version\":2}",
                cache_with(1));
}
BENCHMARK(BM_request_in_memory_get_secret);

// What the agent adds per connection before any request byte is read.
void BM_thread_start_join(benchmark::State& state) {
  for (auto _ : state) {
    std::thread([] {}).join();
  }
}
BENCHMARK(BM_thread_start_join);

void BM_status_reply_build(benchmark::State& state) {
  const auto cache = cache_with(static_cast<int>(state.range(0)));
  std::size_t bytes = 0;
  for (auto _ : state) {
    WipedBytes frame = handle_status(*cache);
    bytes = frame.size();
    benchmark::DoNotOptimize(frame);
  }
  state.counters["reply_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_status_reply_build)->Arg(10'000)->Unit(benchmark::kMicrosecond);

// The agent's own time for a "status" reply: live_profiles, its frame and the
// write into a socket whose peer keeps reading.
void BM_status_reply_written(benchmark::State& state) {
  const auto cache = cache_with(static_cast<int>(state.range(0)));
  SocketPair pair;
  {
    Drain drain(pair.theirs.get());
    for (auto _ : state) {
      Result<Ok, FramingError> written =
          write_frame(pair.ours.get(), as_view(handle_status(*cache)));
      benchmark::DoNotOptimize(written);
    }
    ::shutdown(pair.ours.get(), SHUT_WR);  // lets the drain see the end and stop
  }
}
BENCHMARK(BM_status_reply_written)->Arg(1)->Arg(1'000)->Arg(10'000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tarnwel::bench
