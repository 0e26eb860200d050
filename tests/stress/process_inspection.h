// Looking into a running agent from outside, through /proc: its writable
// memory, its threads and its open descriptors. Reading another process's
// memory needs ptrace rights over it; the tests run as root, which keeps them
// even over the agent, which makes itself non-dumpable.
//
//   MemoryScan scan = scan_writable_memory(agent.pid(), secret);
//   EXPECT_EQ(scan.occurrences, 0u) << scan.describe();
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/sanitizers.h"

namespace tarnwel::testing {

// Threads of an agent that serves no connection: its main thread, plus the
// background thread that ThreadSanitizer starts with the first other thread.
inline constexpr std::size_t IDLE_THREADS = UNDER_TSAN ? 2 : 1;

// A sanitizer reserves terabytes of writable shadow memory that hold its own
// bookkeeping, never program data; reading them through /proc would take
// hours. Regions above this size are skipped, and counted as skipped.
inline constexpr std::size_t LARGEST_SCANNED_REGION = std::size_t{1} << 30;

// Pieces of 16 bytes of a random hexadecimal secret carry 64 random bits: no
// process holds one by chance.
inline constexpr std::size_t FRAGMENT_BYTES = 16;

// One mapping of /proc/PID/smaps: its line in maps, where it lies and its
// VmFlags with a space at each end (" lo " locked, " dd " left out of core
// dumps).
struct Mapping {
  std::uintptr_t start = 0, end = 0;
  std::string line, vm_flags;
};
std::vector<Mapping> mappings_of(pid_t pid);

struct MemoryScan {
  bool opened = false;  // /proc/PID/maps and /proc/PID/mem could be read
  std::size_t occurrences = 0;
  std::size_t unlocked_occurrences = 0;  // those in pages that may be swapped out
  std::size_t scanned_bytes = 0;
  // One "name: count" line per region that holds a piece of the secret.
  std::vector<std::string> found_in;
  // Writable regions left out: too large, or unreadable.
  std::vector<std::string> skipped;

  std::string describe() const;
  // Whether it read memory, and all of it but a sanitizer's (which has no
  // program data).
  bool complete() const {
    return opened && scanned_bytes > 0 && (UNDER_SANITIZER || skipped.empty());
  }
};

// Counts what is left of `secret` in every writable mapping of process `pid`:
// the occurrences of each of its FRAGMENT_BYTES-long pieces, so that a copy
// still counts when an allocator has written its own links over the start of
// the freed block that holds it.
MemoryScan scan_writable_memory(pid_t pid, std::string_view secret);

// Entries of /proc/PID/task and /proc/PID/fd; 0 if the process is gone.
std::size_t thread_count(pid_t pid);
std::size_t descriptor_count(pid_t pid);

// Waits (bounded) until `pid` runs `threads` threads: connection threads end
// a moment after their reply has been read.
bool wait_for_thread_count(pid_t pid, std::size_t threads = IDLE_THREADS);

// The system call that the main thread of a process is blocked in, with its
// first three arguments, as /proc/PID/syscall tells them.
struct BlockedCall {
  long number = -1;
  unsigned long args[3] = {};
  bool polls() const;   // poll or ppoll
  bool sleeps() const;  // nanosleep or clock_nanosleep
};

// Waits (bounded) until the main thread of `pid` is blocked in a call that
// `expected` accepts; `seen`, if given, is the last call seen, for the
// failure message.
bool wait_for_blocked_call(pid_t pid, const std::function<bool(const BlockedCall&)>& expected,
                           long* seen = nullptr);

}  // namespace tarnwel::testing
