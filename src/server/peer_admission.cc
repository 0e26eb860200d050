#include "server/peer_admission.h"

#include "base/unix_socket.h"

namespace tarnwel {

std::optional<Requester> admitted_requester(int stream, const AllowedPeers& allowed, bool shown) {
  const Result<PeerCredentials, SysError> peer = peer_credentials(stream);
  if (!peer.ok() || !allowed.allow(peer.value().uid)) return std::nullopt;
  Requester requester;
  requester.shown = shown;
  requester.uid = peer.value().uid;
  if (peer.value().pid > 0) requester.pid = peer.value().pid;
  return requester;
}

}  // namespace tarnwel
