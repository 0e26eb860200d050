#include "server/connection.h"

#include <utility>

#include "base/secure_wipe.h"
#include "protocol/framing.h"
#include "server/dispatch.h"
#include "server/identity.h"

namespace tarnwel {
namespace {

Response reply_to(int fd, SecretCache& cache, ShutdownFlag& shutdown) {
  Result<Json, FramingError> request = read_message(fd, REQUEST_TIMEOUT);
  if (!request.ok()) {
    return error_response(ErrorCode::ProtocolError, std::move(request).error().text);
  }
  return handle_request(request.value(), cache, shutdown);
}

// Not inlined, so that every frame the request used lies below
// handle_connection's own and is reached by its stack wipe.
[[gnu::noinline]] void serve_one(UniqueFd stream, std::shared_ptr<SecretCache> cache,
                                 std::shared_ptr<ShutdownFlag> shutdown) noexcept {
  try {
    const Response reply = reply_to(stream.get(), *cache, *shutdown);
    // A peer that has gone away cannot be told anything; nothing else to do.
    (void)write_message(stream.get(), reply);
  } catch (...) {
    // Only this connection is lost; the stream closes below without a reply.
  }
}

}  // namespace

void handle_connection(UniqueFd stream, std::shared_ptr<SecretCache> cache,
                       std::shared_ptr<ShutdownFlag> shutdown) noexcept {
  serve_one(std::move(stream), std::move(cache), std::move(shutdown));
  // Thread stacks are cached and reused: leave no request bytes on this one.
  wipe_stack(REQUEST_STACK_WIPE);
}

}  // namespace tarnwel
