#include "server/connection.h"

#include <utility>

#include "protocol/framing.h"
#include "server/dispatch.h"
#include "server/identity.h"

namespace tarnwel {
namespace {

Response reply_to(int fd, SecretCache& cache, ShutdownFlag& shutdown, const Requester* requester) {
  Result<Json, FramingError> request = read_message(fd, REQUEST_TIMEOUT);
  if (!request.ok()) {
    return error_response(ErrorCode::ProtocolError, std::move(request).error().text);
  }
  return handle_request(request.value(), cache, shutdown, requester);
}

}  // namespace

void handle_connection(UniqueFd stream, std::shared_ptr<SecretCache> cache,
                       std::shared_ptr<ShutdownFlag> shutdown,
                       std::optional<Requester> requester) noexcept {
  try {
    const Response reply =
        reply_to(stream.get(), *cache, *shutdown, requester ? &*requester : nullptr);
    // A peer that has gone away cannot be told anything; nothing else to do.
    (void)write_message(stream.get(), reply);
  } catch (...) {
    // Only this connection is lost; the stream closes below without a reply.
  }
}

}  // namespace tarnwel
