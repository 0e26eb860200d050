// Whether the socket file at the agent's path is still the one this process
// listens on. Another agent that finds the socket stale removes it and binds
// its own file there; the agent whose file went can then no longer be
// reached and must stop rather than sit on secrets.
//
// Plain functions of the file system; callable from any thread.
//
//   const BoundSocket bound = bound_socket(path);  // once, right after listen
//   if (bound.taken_over) stop();
//   ...
//   if (bound.identity && !names_socket(path, *bound.identity)) stop();
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace tarnwel {

struct FileIdentity {
  dev_t device;
  ino_t inode;
};

// What the agent knows of the file at its socket path once it listens.
struct BoundSocket {
  std::optional<FileIdentity> identity;  // empty: it could not tell
  bool taken_over = false;               // the path already leads elsewhere
};

// The identity of the file at `path`, proven to be the socket that this
// process listens on: a connection through the path reaches a listener of
// this very process (the connecting end sees the listener's pid), and the
// path names one and the same file before and after. A look at the path
// alone could see the file of an agent that replaced this one's a moment
// after the bind. The test connection waits in the backlog and is served
// as any client that closes without a word.
BoundSocket bound_socket(const std::string& path);

// False once `path` is gone or names another file than the one bound. Any
// other failure to look says nothing about the path, and keeps the agent up.
bool names_socket(const std::string& path, const FileIdentity& bound);

}  // namespace tarnwel
