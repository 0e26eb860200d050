// What every posix_spawn of ours sets up: the attribute and file-action
// objects, destroyed on every way out; default signal dispositions and an
// empty mask, since ignored signals and the mask survive exec; and no stray
// descriptor of ours in the child.
//
// The functions return 0 or an error number, as posix_spawn's own do, so that
// a setup is one chain of calls that stops at the first failure.
//
//   SpawnSetup setup;
//   int err = posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDWR, 0);
//   if (err == 0) err = reset_signals(setup);
//   if (err == 0) err = add_flags(setup, POSIX_SPAWN_SETSID);
//   if (err == 0) err = close_descriptors_from(setup, 3);
//   if (err == 0) err = ::posix_spawn(&pid, path, &setup.actions, &setup.attr, argv, envp);
#pragma once

#include <spawn.h>

#include <string>
#include <vector>

namespace tarnwel {

struct SpawnSetup {
  posix_spawnattr_t attr;
  posix_spawn_file_actions_t actions;
  SpawnSetup();
  ~SpawnSetup();
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
};

// Adds `flags` (POSIX_SPAWN_SETSID, ...) to those set before, so that the
// calls below may come in any order.
int add_flags(SpawnSetup& setup, short flags);

// Every signal at its default disposition and none blocked in the child.
int reset_signals(SpawnSetup& setup);

// Closes in the child every descriptor from `first` on that no file action
// makes (every one but the file actions' targets on macOS, so those below
// `first` must all be targets). Where the system
// offers neither way (glibc before 2.34), it does nothing and the child keeps
// what is not close-on-exec.
int close_descriptors_from(SpawnSetup& setup, int first);

// `strings` as the null-terminated array that argv and envp are; it points
// into them, so it is valid while they live unchanged.
std::vector<char*> c_strings(const std::vector<std::string>& strings);

}  // namespace tarnwel
