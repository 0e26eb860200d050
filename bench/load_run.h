// Drives a server with clients of the protocol's own shape: one connection per
// request. Two patterns: closed-loop clients (each thread sends its next
// request as soon as its last reply arrived), and requests on connections
// opened in advance, which the server has already accepted.
//
// Thread-safety: each call owns its client threads and joins them.
//
//   LoadPlan plan;
//   plan.socket_path = path; plan.request = PING_REQUEST; plan.ok_mark = OK_MARK; plan.clients = 8;
//   LoadResult r = run_closed_loop(plan);
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "wire_client.h"

namespace tarnwel::bench {

struct LoadPlan {
  std::string socket_path;
  std::string request;
  std::string ok_mark;
  Framing framing = Framing::Line;
  int clients = 1;
  std::chrono::milliseconds duration{2000};
  // The request of client i when set, instead of `request`.
  std::function<std::string(int)> request_for_client;
};

struct LoadResult {
  std::vector<std::chrono::nanoseconds> latencies;  // of the Ok replies
  std::size_t ok = 0;
  std::size_t busy = 0;
  std::size_t failed = 0;
  std::string failure_sample;  // the first failure's reply or reason
  double seconds = 0;          // from the start to the last reply
  Instant last_reply{};
};

// `clients` threads, each sending one request after another for `duration`.
LoadResult run_closed_loop(const LoadPlan& plan);

// The request to send as the i-th; empty means plan.request every time.
using RequestMaker = std::function<std::string(int)>;

// `requests` requests, one at a time, each on a connection opened in a batch
// of `batch` and given `settle` to be accepted; timed from send to reply.
LoadResult run_preconnected(const LoadPlan& plan, int requests, int batch,
                            std::chrono::milliseconds settle, const RequestMaker& make = {});

}  // namespace tarnwel::bench
