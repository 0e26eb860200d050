#include "load_run.h"

#include <algorithm>
#include <latch>
#include <optional>
#include <thread>

#include "base/unique_fd.h"
#include "wire_client.h"

namespace tarnwel::bench {
namespace {

void count(LoadResult& result, ReplyKind kind, std::chrono::nanoseconds latency,
           const std::string& failure) {
  switch (kind) {
    case ReplyKind::Ok:
      ++result.ok;
      result.latencies.push_back(latency);
      return;
    case ReplyKind::Busy: ++result.busy; return;
    case ReplyKind::Failed:
      if (result.failed++ == 0) result.failure_sample = failure;
      return;
  }
}

void merge(LoadResult& into, LoadResult&& part) {
  into.latencies.insert(into.latencies.end(), part.latencies.begin(), part.latencies.end());
  into.ok += part.ok;
  into.busy += part.busy;
  if (into.failed == 0) into.failure_sample = part.failure_sample;
  into.failed += part.failed;
  into.last_reply = std::max(into.last_reply, part.last_reply);
}

double seconds_between(Instant from, Instant to) {
  return std::chrono::duration<double>(to - from).count();
}

}  // namespace

LoadResult run_closed_loop(const LoadPlan& plan) {
  const auto clients = static_cast<std::size_t>(plan.clients);
  std::vector<LoadResult> parts(clients);
  std::latch start(plan.clients + 1);
  Instant begin{};
  {
    std::vector<std::jthread> threads;
    threads.reserve(clients);
    for (std::size_t i = 0; i < clients; ++i) {
      threads.emplace_back([&, i] {
        start.arrive_and_wait();
        LoadResult& mine = parts[i];
        const std::string request =
            plan.request_for_client ? plan.request_for_client(static_cast<int>(i)) : plan.request;
        const Instant stop = MonotonicClock::now() + plan.duration;
        while (MonotonicClock::now() < stop) {
          const Exchange e = request_once(plan.socket_path, request, plan.ok_mark, plan.framing);
          count(mine, e.kind, e.latency, e.failure);
          mine.last_reply = MonotonicClock::now();
        }
      });
    }
    begin = MonotonicClock::now();
    start.arrive_and_wait();
  }
  LoadResult result;
  for (LoadResult& part : parts) merge(result, std::move(part));
  result.seconds = seconds_between(begin, result.last_reply);
  return result;
}

LoadResult run_preconnected(const LoadPlan& plan, int requests, int batch,
                            std::chrono::milliseconds settle, const RequestMaker& make) {
  LoadResult result;
  const Instant begin = MonotonicClock::now();
  for (int done = 0; done < requests;) {
    std::vector<UniqueFd> streams;
    for (int i = 0; i < batch && done + i < requests; ++i) {
      streams.push_back(connect_to(plan.socket_path));
    }
    std::this_thread::sleep_for(settle);
    for (const UniqueFd& stream : streams) {
      const std::string request = make ? make(done) : plan.request;
      const Instant start = MonotonicClock::now();
      const std::optional<std::string> reply =
          stream.valid() ? exchange_on(stream.get(), request) : std::nullopt;
      result.last_reply = MonotonicClock::now();
      count(result, classify(reply, plan.ok_mark), result.last_reply - start,
            stream.valid() ? describe_failure(reply) : "connect failed");
      ++done;
    }
  }
  result.seconds = seconds_between(begin, result.last_reply);
  return result;
}

}  // namespace tarnwel::bench
