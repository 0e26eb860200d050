// The peers the agent is measured beside, each started by the bench in a
// private directory of the run and stopped with it: OpenSSH's ssh-agent
// holding one key, asked for its identities (SSH2_AGENTC_REQUEST_IDENTITIES);
// git's credential-cache daemon holding one credential, asked to "get" it.
// Both serve one request per connection here as the agent does, each from a
// single-threaded loop.
//
//   Peers peers(options);
//   for (const Peer& p : peers.serving()) request_once(p.socket, p.request, p.ok_mark, p.framing);
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "load_driver.h"

namespace tarnwel::bench {

struct Peer {
  std::string name;      // in the run's record: "ssh-agent", "git-credential-cache"
  std::string scenario;  // "request_identities", "get"
  std::string socket, request, ok_mark;
  Framing framing;
  std::unique_ptr<ChildProcess> process;

  pid_t pid() const { return process->pid(); }
};

class Peers {
 public:
  // Starts every peer whose programs are installed and gives it its one key
  // or credential; one that cannot be set up is said on stderr and left out.
  explicit Peers(const Options& options);

  const std::vector<Peer>& serving() const { return peers_; }

 private:
  std::vector<Peer> peers_;
};

}  // namespace tarnwel::bench
