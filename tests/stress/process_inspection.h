// Looking into a running agent from outside, through /proc: its writable
// memory, its threads and its open descriptors. Reading another process's
// memory needs ptrace rights over it; the tests run as root, which keeps them
// even over the agent, which makes itself non-dumpable.
//
//   MemoryScan scan = scan_writable_memory(agent.pid(), secret);
//   EXPECT_EQ(scan.occurrences, 0u) << scan.describe();
#pragma once

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/unique_fd.h"
#include "support/agent_process.h"
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

inline std::vector<Mapping> mappings_of(pid_t pid) {
  std::ifstream smaps("/proc/" + std::to_string(pid) + "/smaps");
  std::vector<Mapping> mappings;
  for (std::string line; std::getline(smaps, line);) {
    Mapping m;
    if (std::sscanf(line.c_str(), "%" SCNxPTR "-%" SCNxPTR " ", &m.start, &m.end) == 2) {
      m.line = line;
      mappings.push_back(std::move(m));
    } else if (!mappings.empty() && line.starts_with("VmFlags:")) {
      mappings.back().vm_flags = line.substr(8) + " ";
    }
  }
  return mappings;
}

struct MemoryScan {
  bool opened = false;  // /proc/PID/maps and /proc/PID/mem could be read
  std::size_t occurrences = 0;
  std::size_t unlocked_occurrences = 0;  // those in pages that may be swapped out
  std::size_t scanned_bytes = 0;
  // One "name: count" line per region that holds a piece of the secret.
  std::vector<std::string> found_in;
  // Writable regions left out: too large, or unreadable.
  std::vector<std::string> skipped;

  std::string describe() const {
    std::string text = std::to_string(occurrences) + " occurrence(s) in " +
                       std::to_string(scanned_bytes) + " bytes scanned";
    for (const std::string& where : found_in) text += "\n  found in " + where;
    for (const std::string& where : skipped) text += "\n  skipped " + where;
    return text;
  }
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
inline MemoryScan scan_writable_memory(pid_t pid, std::string_view secret) {
  constexpr std::size_t READ_BLOCK = std::size_t{1} << 20;
  MemoryScan scan;
  std::vector<Mapping> regions = mappings_of(pid);
  std::erase_if(
      regions, [](const Mapping& m) { return m.line.compare(m.line.find(' ') + 1, 2, "rw") != 0; });
  UniqueFd memory(::open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY | O_CLOEXEC));
  if (regions.empty() || !memory.valid() || secret.empty()) return scan;
  scan.opened = true;
  // The last piece is a whole one, overlapping the one before if need be.
  const std::size_t piece = std::min(secret.size(), FRAGMENT_BYTES);
  std::vector<std::string_view> needles;
  for (std::size_t at = 0; at < secret.size(); at += piece) {
    needles.push_back(secret.substr(std::min(at, secret.size() - piece), piece));
  }
  // Each block reads one byte less than a piece beyond the next block's
  // start: a piece that straddles two blocks is whole in the first only.
  const std::size_t overlap = piece - 1;
  std::string block;
  for (const Mapping& region : regions) {
    const bool locked = region.vm_flags.find(" lo ") != std::string::npos;
    if (region.end - region.start > LARGEST_SCANNED_REGION) {
      scan.skipped.push_back(region.line + " (too large)");
      continue;
    }
    std::size_t found = 0;
    for (std::uintptr_t at = region.start; at < region.end; at += READ_BLOCK) {
      const std::size_t want = std::min<std::size_t>(READ_BLOCK + overlap, region.end - at);
      block.resize(want);
      const ssize_t n = ::pread(memory.get(), block.data(), want, static_cast<off_t>(at));
      block.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
      for (std::string_view needle : needles) {
        for (std::size_t hit = block.find(needle); hit != std::string::npos;
             hit = block.find(needle, hit + 1)) {
          ++found;
        }
      }
      scan.scanned_bytes += std::min(block.size(), READ_BLOCK);
      if (block.size() < want) {
        scan.skipped.push_back(region.line + " (unreadable from " +
                               std::to_string(at + block.size()) + ")");
        break;
      }
    }
    if (found > 0) {
      scan.found_in.push_back(region.line + (locked ? " (locked)" : "") + ": " +
                              std::to_string(found));
    }
    scan.occurrences += found;
    if (!locked) scan.unlocked_occurrences += found;
  }
  return scan;
}

// Entries of /proc/PID/`dir`; 0 if the process is gone.
inline std::size_t entries_in(pid_t pid, const char* dir) {
  const std::string path = "/proc/" + std::to_string(pid) + "/" + dir;
  std::error_code error;
  std::size_t count = 0;
  for (std::filesystem::directory_iterator it(path, error), end; !error && it != end;
       it.increment(error)) {
    ++count;
  }
  return count;
}
inline std::size_t thread_count(pid_t pid) { return entries_in(pid, "task"); }
inline std::size_t descriptor_count(pid_t pid) { return entries_in(pid, "fd"); }

// Waits (bounded) until `pid` runs its IDLE_THREADS: connection threads end
// a moment after their reply has been read.
inline bool wait_for_thread_count(pid_t pid) {
  return wait_until([&] { return thread_count(pid) == IDLE_THREADS; });
}

// The system call that the main thread of a process is blocked in, with its
// first three arguments, as /proc/PID/syscall tells them.
struct BlockedCall {
  long number = -1;
  unsigned long args[3] = {};
  bool polls() const {  // poll or ppoll
#if defined(SYS_poll)
    if (number == SYS_poll) return true;
#endif
    return number == SYS_ppoll;
  }
  bool sleeps() const { return number == SYS_nanosleep || number == SYS_clock_nanosleep; }
};

// Waits (bounded) until the main thread of `pid` is blocked in a call that
// `expected` accepts (none while it runs or when /proc/PID/syscall cannot be
// read); `seen`, if given, is the last call seen, for the failure message.
inline bool wait_for_blocked_call(pid_t pid,
                                  const std::function<bool(const BlockedCall&)>& expected,
                                  long* seen = nullptr) {
  return wait_until([&] {
    std::ifstream file("/proc/" + std::to_string(pid) + "/syscall");
    BlockedCall call;
    if (!(file >> call.number) || call.number < 0) return false;
    if (!(file >> std::hex >> call.args[0] >> call.args[1] >> call.args[2])) return false;
    if (seen != nullptr) *seen = call.number;
    return expected(call);
  });
}

}  // namespace tarnwel::testing
