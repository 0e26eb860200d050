#include "peer_servers.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

namespace tarnwel::bench {
namespace {

constexpr double START_SECONDS = 5;
// The request of ssh-agent's protocol: length 1, SSH2_AGENTC_REQUEST_IDENTITIES (11).
constexpr char IDENTITIES_REQUEST[] = {0, 0, 0, 1, 11};
// The answer's type, SSH2_AGENT_IDENTITIES_ANSWER (12), and its count: one key.
constexpr char ONE_IDENTITY[] = {12, 0, 0, 0, 1};
constexpr const char* GIT_CREDENTIAL = "protocol=https\nhost=bench.invalid\n";

// ssh-agent in the foreground on a socket of the run, with one new ed25519 key.
std::unique_ptr<Peer> start_ssh_agent(const Options& options) {
  const std::string dir = std::filesystem::path(options.ssh_agent).parent_path();
  const std::string home = options.work_dir + "/ssh";
  const std::string log = options.work_dir + "/ssh-agent.log";
  ::mkdir(home.c_str(), 0700);
  if (::access(options.ssh_agent.c_str(), X_OK) != 0 ||
      run_to_end({dir + "/ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", "bench", "-f",
                  home + "/key"},
                 {}, log) != 0) {
    return nullptr;
  }
  auto peer = std::make_unique<Peer>(
      Peer{"ssh-agent", "request_identities", home + "/agent.sock",
           std::string(IDENTITIES_REQUEST, sizeof IDENTITIES_REQUEST),
           std::string(ONE_IDENTITY, sizeof ONE_IDENTITY), Framing::LengthPrefixed, nullptr});
  peer->process = std::make_unique<ChildProcess>(
      std::vector<std::string>{options.ssh_agent, "-D", "-a", peer->socket},
      std::vector<std::string>{}, log);
  const std::string any_answer(ONE_IDENTITY, 1);
  if (!wait_until_serving(peer->socket, START_SECONDS, peer->request, any_answer, peer->framing) ||
      run_to_end({dir + "/ssh-add", "-q", home + "/key"}, {"SSH_AUTH_SOCK=" + peer->socket}, log) !=
          0) {
    return nullptr;
  }
  return peer;
}

// git's credential-cache daemon on a socket of the run (in a 0700 directory,
// which it insists on), holding one credential for a day.
std::unique_ptr<Peer> start_git_cache(const Options& options) {
  if (::access(options.git.c_str(), X_OK) != 0) return nullptr;
  const std::string home = options.work_dir + "/git";
  ::mkdir(home.c_str(), 0700);
  auto peer = std::make_unique<Peer>(
      Peer{"git-credential-cache", "get", home + "/cache/socket",
           std::string("action=get\ntimeout=86400\n") + GIT_CREDENTIAL + "\n",
           "password=" + std::string(SECRET) + "\n", Framing::UntilClose, nullptr});
  ::mkdir((home + "/cache").c_str(), 0700);
  // No configuration of the machine's or of root's: HOME is the run's.
  peer->process = std::make_unique<ChildProcess>(
      std::vector<std::string>{options.git, "credential-cache--daemon", peer->socket},
      std::vector<std::string>{"HOME=" + home, "GIT_CONFIG_NOSYSTEM=1"},
      options.work_dir + "/git-credential-cache.log");
  const std::string store = std::string("action=store\ntimeout=86400\n") + GIT_CREDENTIAL +
                            "username=bench\npassword=" + std::string(SECRET) + "\n\n";
  if (!wait_until_serving(peer->socket, START_SECONDS, store, "", peer->framing)) return nullptr;
  return peer;
}

}  // namespace

Peers::Peers(const Options& options) {
  for (auto start : {start_ssh_agent, start_git_cache}) {
    std::unique_ptr<Peer> peer = start(options);
    if (peer && wait_until_serving(peer->socket, START_SECONDS, peer->request, peer->ok_mark,
                                   peer->framing)) {
      peers_.push_back(std::move(*peer));
    } else {
      progress("a peer could not be set up; see the logs in " + options.work_dir);
    }
  }
}

}  // namespace tarnwel::bench
