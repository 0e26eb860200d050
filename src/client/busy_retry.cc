#include "client/busy_retry.h"

#include <thread>

#include "base/clock.h"
#include "client/reply.h"

namespace tarnwel {
namespace {

// How soon a busy agent is asked again: a confirmation takes a person
// seconds, and a refusal costs the agent one try of a lock.
constexpr std::chrono::milliseconds RETRY_INTERVAL{250};

bool is_busy(const WipedBytes& reply_line) {
  const Result<Reply, ClientError> reply = decode_reply(WipedBytes(reply_line));
  return !reply.ok() && reply.error().kind == ClientError::Kind::Agent &&
         reply.error().code == ErrorCode::PresenceBusy;
}

}  // namespace

Result<WipedBytes, ClientError> send_waiting_out_busy(const Client& client, RequestLine&& line,
                                                      const std::function<void()>& waiting,
                                                      std::chrono::nanoseconds limit) {
  const RequestLine kept = std::move(line);
  const Instant deadline = MonotonicClock::now() + limit;
  bool told = false;
  while (true) {
    Result<WipedBytes, ClientError> reply = client.send(RequestLine(kept));
    if (!reply.ok() || !is_busy(reply.value()) || MonotonicClock::now() >= deadline) return reply;
    if (!std::exchange(told, true)) waiting();
    std::this_thread::sleep_for(RETRY_INTERVAL);
  }
}

}  // namespace tarnwel
