// Which peers the agent talks to, decided once per connection at accept.
//
//   const AllowedPeers allowed;
//   std::optional<Requester> requester = admitted_requester(stream.get(), allowed, shown);
//   if (!requester) return;  // closed unread and unanswered
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <optional>

#include "presence/presence_backend.h"

namespace tarnwel {

// The users this agent talks to: its own (real and effective) and root.
// The directory's mode keeps others out already; this holds even if that
// mode is ever loosened.
struct AllowedPeers {
  uid_t real = ::getuid();
  uid_t effective = ::geteuid();
  bool allow(uid_t peer) const { return peer == real || peer == effective || peer == 0; }
};

// Who is at the other end of `stream`, read at accept, while the peer is most
// likely still the process that connected: nothing when the peer may not
// connect or its credentials cannot be read. Its executable is looked up only
// by a request that prompts (handle_unlock): the agent's own confirmation
// names it whatever `shown` says, and no other request pays for the lookup.
std::optional<Requester> admitted_requester(int stream, const AllowedPeers& allowed, bool shown);

}  // namespace tarnwel
