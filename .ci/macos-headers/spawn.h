// Stand-in: glibc's <spawn.h> and Apple's flag that closes every descriptor
// not named by a file action.
#pragma once
#include_next <spawn.h>
#define POSIX_SPAWN_CLOEXEC_DEFAULT 0x4000
