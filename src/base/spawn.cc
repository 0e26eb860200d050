#include "base/spawn.h"

#include <signal.h>

namespace tarnwel {

std::vector<char*> c_strings(const std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (const std::string& s : strings) pointers.push_back(const_cast<char*>(s.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

SpawnSetup::SpawnSetup() {
  ::posix_spawnattr_init(&attr);
  ::posix_spawn_file_actions_init(&actions);
}

SpawnSetup::~SpawnSetup() {
  ::posix_spawn_file_actions_destroy(&actions);
  ::posix_spawnattr_destroy(&attr);
}

int add_flags(SpawnSetup& setup, short flags) {
  short before = 0;
  int err = ::posix_spawnattr_getflags(&setup.attr, &before);
  if (err == 0) err = ::posix_spawnattr_setflags(&setup.attr, static_cast<short>(before | flags));
  return err;
}

int reset_signals(SpawnSetup& setup) {
  sigset_t all_signals;
  sigfillset(&all_signals);
  sigdelset(&all_signals, SIGKILL);
  sigdelset(&all_signals, SIGSTOP);
  sigset_t no_signals;
  sigemptyset(&no_signals);
  int err = ::posix_spawnattr_setsigdefault(&setup.attr, &all_signals);
  if (err == 0) err = ::posix_spawnattr_setsigmask(&setup.attr, &no_signals);
  if (err == 0) err = add_flags(setup, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  return err;
}

int close_descriptors_from(SpawnSetup& setup, int first) {
#if defined(__APPLE__)
  static_cast<void>(first);
  return add_flags(setup, POSIX_SPAWN_CLOEXEC_DEFAULT);
#elif defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  return ::posix_spawn_file_actions_addclosefrom_np(&setup.actions, first);
#else
  static_cast<void>(setup);
  static_cast<void>(first);
  return 0;
#endif
}

}  // namespace tarnwel
