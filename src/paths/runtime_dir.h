// Where the agent's socket lives: "agent.sock" in a private runtime directory
// "tarnwel-agent-{uid}" under a base directory taken from the environment.
// The directory is created if needed and refused unless it is a real
// directory (not a symbolic link) owned by this user; it is left with mode 0700.
//
//   Result<std::string, DirRefusal> path = socket_path();  // or why not
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/environment.h"
#include "base/result.h"

namespace tarnwel {

// The first base directory that the environment and the platform yield:
// TARNWEL_AGENT_RUNTIME_DIR; the platform's per-user temporary directory;
// XDG_RUNTIME_DIR; TMPDIR, TEMP, TMP naming an existing directory; /tmp,
// /var/tmp, /usr/tmp; the current directory; /tmp.
std::string choose_base_dir(const EnvLookup& env);

// `base` joined with "tarnwel-agent-{uid}", with one separator.
std::string runtime_dir_for(std::string_view base, unsigned long uid);

// `base` joined with "tarnwel-confirm-{uid}": the directory beside the
// runtime directory where confirmations wait for an answer at a terminal.
std::string confirm_dir_for(std::string_view base, unsigned long uid);

// The confirmation directory that `env` and this user yield, computed only.
std::string confirm_dir_path_for(const EnvLookup& env);

// Why a runtime directory was refused. `missing`: it does not exist (yet),
// which a client takes as "no agent" rather than as a refusal.
// `owner`: the uid of the other user whose directory it is, when that is why.
struct DirRefusal {
  std::string reason;
  bool missing = false;
  std::optional<unsigned long> owner = std::nullopt;
};

// What to do about a directory that another user made first (anyone can,
// under a shared /tmp): "; it belongs to user NAME: use a private directory
// instead, by setting ...", to follow the refusal's reason; empty for any
// other refusal.
std::string way_out(const DirRefusal& refusal);

// The whole line for a refused confirmation directory: "refusing to use
// confirmation dir DIR: REASON", and the way out.
std::string confirm_dir_refused(const std::string& dir, const DirRefusal& refusal);

// Creates `dir` with mode 0700 whatever the umask, so that no other user can
// place anything in it before its mode is checked; an existing one is left
// as it is.
Result<Ok, DirRefusal> create_private_dir(const std::string& dir);

// Creates `dir` if needed and checks it: not a symbolic link, a directory,
// owned by the real user id; then sets its mode to 0700.
Result<Ok, DirRefusal> prepare_runtime_dir(const std::string& dir);

// Checks `dir` as a client must before it talks to whatever listens in it,
// creating and changing nothing: a real directory (not a symbolic link),
// owned by the real user id, with no permission bits for group or others.
// Whoever else could write to it could have placed the socket there.
Result<Ok, DirRefusal> check_private_dir(const std::string& dir);

// The directory part of `socket_path` ("." for a bare name).
std::string directory_of(const std::string& socket_path);

// The socket path that socket_path() would return for `env` and this user,
// computed without creating, checking or changing anything, so that a client
// finds the agent's socket by the same rules without touching the directory.
std::string socket_path_for(const EnvLookup& env);

// The socket path for this process, its directory created and checked. On a
// refused directory, the refusal's reason is the whole line to report:
// "refusing to use runtime dir {dir}: {reason}".
Result<std::string, DirRefusal> socket_path();

}  // namespace tarnwel
