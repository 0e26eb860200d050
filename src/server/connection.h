// handle_connection: one accepted connection, one request, one reply.
//
// Runs on the connection's own thread and owns the stream, which is closed on
// every way out. An unexpected failure while the request is handled (an
// exception) ends only this connection: the stream is closed without a reply.
// Before it returns, it zeroes the stack its request used, since thread stacks
// are cached and reused.
// `requester`, when given, is the peer that an "unlock" prompt names.
//
//   start_detached([fd = std::move(fd), cache, flag]() mutable {
//     handle_connection(std::move(fd), std::move(cache), std::move(flag));
//   });
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>

#include "base/unique_fd.h"
#include "secret_cache/secret_cache.h"
#include "server/shutdown_flag.h"

namespace tarnwel {

// What handle_connection wipes beyond the depth its request reports
// (HandledRequest::stack_depth), for what a measurement cannot see (another
// compiler, a library's rarer path). Only that span is touched, and a
// thread's stack keeps its top 16 KiB or so resident when it is cached for the
// next thread, so an ordinary request faults in no page there.
inline constexpr std::size_t STACK_WIPE_MARGIN = 4 * 1024;

// The time a connection has to deliver its one request.
inline constexpr std::chrono::seconds REQUEST_TIMEOUT{5};

// `replied`, when given, is called once the reply is out (or the client has
// gone), on this thread: only the stream's close and the stack's wipe, neither
// of which waits, are left then.
void handle_connection(UniqueFd stream, std::shared_ptr<SecretCache> cache,
                       std::shared_ptr<ShutdownFlag> shutdown,
                       std::optional<Requester> requester = std::nullopt,
                       const std::function<void()>& replied = {}) noexcept;

}  // namespace tarnwel
