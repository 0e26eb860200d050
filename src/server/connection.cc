#include "server/connection.h"

#include <cstddef>
#include <string>
#include <utility>

#include "base/secure_wipe.h"
#include "protocol/framing.h"
#include "server/dispatch.h"
#include "server/identity.h"

namespace tarnwel {
namespace {

// Not inlined, so that every frame the request used lies below
// handle_connection's own and is reached by its stack wipe. Returns how deep
// the request may have gone.
[[gnu::noinline]] std::size_t serve_one(UniqueFd stream, std::shared_ptr<SecretCache> cache,
                                        std::shared_ptr<ShutdownFlag> shutdown,
                                        const Requester* requester,
                                        const std::function<void()>& replied) noexcept {
  std::size_t stack_used = REQUEST_STACK_DEPTH;
  try {
    Result<Json, FramingError> request = read_message(stream.get(), REQUEST_TIMEOUT);
    const HandledRequest handled =
        request.ok() ? handle_request(request.value(), *cache, *shutdown, requester)
                     : HandledRequest{frame_of(error_response(ErrorCode::ProtocolError,
                                                              std::move(request).error().text))};
    stack_used = handled.stack_depth;
    // A peer that has gone away cannot be told anything; nothing else to do.
    if (!handled.reply.empty()) (void)write_frame(stream.get(), as_view(handled.reply));
    if (replied) replied();
  } catch (...) {
    // Only this connection is lost; the stream closes below without a reply.
    // The request may have failed deep down: wipe as much as any request uses.
    stack_used = UNLOCK_STACK_DEPTH;
  }
  // Only now, with the reply out: a loop that stops at once would otherwise
  // end the process before the reply of the request that stopped it.
  if (shutdown->is_set()) shutdown->wake_loop();
  return stack_used;
}

}  // namespace

void handle_connection(UniqueFd stream, std::shared_ptr<SecretCache> cache,
                       std::shared_ptr<ShutdownFlag> shutdown, std::optional<Requester> requester,
                       const std::function<void()>& replied) noexcept {
  // A confirmation that the requester can no longer receive is withdrawn:
  // its end of the connection tells when it has gone.
  if (requester) requester->connection = stream.get();
  const std::size_t stack_used = serve_one(std::move(stream), std::move(cache), std::move(shutdown),
                                           requester ? &*requester : nullptr, replied);
  // Thread stacks are cached and reused: leave no request bytes on this one.
  wipe_stack(stack_used + STACK_WIPE_MARGIN);
}

}  // namespace tarnwel
