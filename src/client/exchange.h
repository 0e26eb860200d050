// One request, one reply: connect to the agent's socket, send a request line,
// read the reply line within a time limit, close. Both lines live in wiped
// buffers, since either may carry a secret; the request line is given back,
// wiped, as soon as it is sent, so that no copy waits with the reply (which
// may take minutes while the user is asked).
//
// Thread-safe: every call has a connection of its own.
//
//   Result<WipedBytes, ClientError> reply = exchange(path, std::move(line),
//   std::chrono::seconds(10));
#pragma once

#include <chrono>
#include <string>

#include "base/result.h"
#include "client/client_error.h"
#include "base/wiped_bytes.h"

namespace tarnwel {

// Sends `request_line` (one JSON text and its newline) to the agent at
// `socket_path` and returns the reply's text without its newline; the line is
// taken over and wiped once sent, or on any failure before. A missing
// socket or one nobody listens on is Kind::NoAgent; a reply that is not one
// newline-terminated line of at most MAX_MESSAGE_BYTES within `reply_limit`
// is Kind::Transport.
Result<WipedBytes, ClientError> exchange(const std::string& socket_path, WipedBytes&& request_line,
                                         std::chrono::nanoseconds reply_limit);

// Why a request line of `request_bytes` (more than MAX_MESSAGE_BYTES, the
// newline included) is not sent, as exchange() reports it.
ClientError too_large(std::size_t request_bytes);

}  // namespace tarnwel
