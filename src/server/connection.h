// handle_connection: one accepted connection, one request, one reply.
//
// Runs on the connection's own thread and owns the stream, which is closed on
// every way out. An unexpected failure while the request is handled (an
// exception) ends only this connection: the stream is closed without a reply.
// `requester`, when given, is the peer that an "unlock" prompt names.
//
//   std::thread([fd = std::move(fd), cache, flag]() mutable {
//     handle_connection(std::move(fd), std::move(cache), std::move(flag));
//   }).detach();
#pragma once

#include <memory>
#include <optional>

#include "base/unique_fd.h"
#include "secret_cache/secret_cache.h"
#include "server/shutdown_flag.h"

namespace tarnwel {

void handle_connection(UniqueFd stream, std::shared_ptr<SecretCache> cache,
                       std::shared_ptr<ShutdownFlag> shutdown,
                       std::optional<Requester> requester = std::nullopt) noexcept;

}  // namespace tarnwel
