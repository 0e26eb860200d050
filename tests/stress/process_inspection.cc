#include "stress/process_inspection.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "base/unique_fd.h"
#include "support/agent_process.h"

namespace tarnwel::testing {
namespace {

constexpr std::size_t READ_BLOCK = std::size_t{1} << 20;

std::size_t count_in(std::string_view haystack, const std::vector<std::string_view>& needles) {
  std::size_t count = 0;
  for (std::string_view needle : needles) {
    for (std::size_t at = haystack.find(needle); at != std::string_view::npos;
         at = haystack.find(needle, at + 1)) {
      ++count;
    }
  }
  return count;
}

std::vector<std::string_view> fragments_of(std::string_view secret) {
  const std::size_t piece = std::min(secret.size(), FRAGMENT_BYTES);
  std::vector<std::string_view> fragments;
  for (std::size_t at = 0; at < secret.size(); at += piece) {
    // The last piece is a whole one, overlapping the one before if need be.
    fragments.push_back(secret.substr(std::min(at, secret.size() - piece), piece));
  }
  return fragments;
}

// Entries of /proc/PID/`dir`.
std::size_t entries_in(pid_t pid, const char* dir) {
  const std::string path = "/proc/" + std::to_string(pid) + "/" + dir;
  std::error_code error;
  std::size_t count = 0;
  for (std::filesystem::directory_iterator it(path, error), end; !error && it != end;
       it.increment(error)) {
    ++count;
  }
  return count;
}

// The call that the main thread of `pid` is blocked in (/proc/PID/syscall);
// none while it runs or when the file cannot be read.
std::optional<BlockedCall> blocked_call(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/syscall");
  BlockedCall call;
  if (!(file >> call.number) || call.number < 0) return std::nullopt;
  file >> std::hex >> call.args[0] >> call.args[1] >> call.args[2];
  return file ? std::optional(call) : std::nullopt;
}

}  // namespace

std::vector<Mapping> mappings_of(pid_t pid) {
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

std::string MemoryScan::describe() const {
  std::string text = std::to_string(occurrences) + " occurrence(s) in " +
                     std::to_string(scanned_bytes) + " bytes scanned";
  for (const std::string& where : found_in) text += "\n  found in " + where;
  for (const std::string& where : skipped) text += "\n  skipped " + where;
  return text;
}

MemoryScan scan_writable_memory(pid_t pid, std::string_view secret) {
  MemoryScan scan;
  std::vector<Mapping> regions = mappings_of(pid);
  std::erase_if(
      regions, [](const Mapping& m) { return m.line.compare(m.line.find(' ') + 1, 2, "rw") != 0; });
  UniqueFd memory(::open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY | O_CLOEXEC));
  if (regions.empty() || !memory.valid() || secret.empty()) return scan;
  scan.opened = true;
  const std::vector<std::string_view> needles = fragments_of(secret);
  // Each block reads one byte less than a piece beyond the next block's
  // start: a piece that straddles two blocks is whole in the first only.
  const std::size_t overlap = needles.front().size() - 1;
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
      found += count_in(block, needles);
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

std::size_t thread_count(pid_t pid) { return entries_in(pid, "task"); }

std::size_t descriptor_count(pid_t pid) { return entries_in(pid, "fd"); }

bool wait_for_thread_count(pid_t pid, std::size_t threads) {
  return wait_until([&] { return thread_count(pid) == threads; });
}

bool BlockedCall::polls() const {
#if defined(SYS_poll)
  if (number == SYS_poll) return true;
#endif
  return number == SYS_ppoll;
}

bool BlockedCall::sleeps() const {
  return number == SYS_nanosleep || number == SYS_clock_nanosleep;
}

bool wait_for_blocked_call(pid_t pid, const std::function<bool(const BlockedCall&)>& expected,
                           long* seen) {
  return wait_until([&] {
    const std::optional<BlockedCall> call = blocked_call(pid);
    if (call && seen != nullptr) *seen = call->number;
    return call && expected(*call);
  });
}

}  // namespace tarnwel::testing
