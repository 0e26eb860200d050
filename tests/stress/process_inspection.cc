#include "stress/process_inspection.h"

#include <fcntl.h>
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

struct Region {
  std::uintptr_t start = 0;
  std::uintptr_t end = 0;
  std::string name;     // its line in /proc/PID/maps
  bool locked = false;  // mlock()ed: VmFlags has "lo"
};

// From /proc/PID/smaps: each mapping's line as in /proc/PID/maps ("start-end
// mode ..."), then lines of "Name: value", the last of them VmFlags.
std::vector<Region> writable_regions(pid_t pid) {
  std::ifstream smaps("/proc/" + std::to_string(pid) + "/smaps");
  std::vector<Region> regions;
  bool writable = false;
  for (std::string line; std::getline(smaps, line);) {
    std::uintptr_t from = 0, to = 0;
    char mode[5] = {};
    if (line.starts_with("VmFlags:")) {
      if (writable) regions.back().locked = (line + " ").find(" lo ") != std::string::npos;
    } else if (std::sscanf(line.c_str(), "%" SCNxPTR "-%" SCNxPTR " %4s", &from, &to, mode) == 3) {
      writable = mode[0] == 'r' && mode[1] == 'w';
      if (writable) regions.push_back(Region{from, to, line});
    }
  }
  return regions;
}

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

}  // namespace

std::string MemoryScan::describe() const {
  std::string text = std::to_string(occurrences) + " occurrence(s) in " +
                     std::to_string(scanned_bytes) + " bytes scanned";
  for (const std::string& where : found_in) text += "\n  found in " + where;
  for (const std::string& where : skipped) text += "\n  skipped " + where;
  return text;
}

MemoryScan scan_writable_memory(pid_t pid, std::string_view secret) {
  MemoryScan scan;
  const std::vector<Region> regions = writable_regions(pid);
  UniqueFd memory(::open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY | O_CLOEXEC));
  if (regions.empty() || !memory.valid() || secret.empty()) return scan;
  scan.opened = true;
  const std::vector<std::string_view> needles = fragments_of(secret);
  // Each block reads one byte less than a piece beyond the next block's
  // start: a piece that straddles two blocks is whole in the first only.
  const std::size_t overlap = needles.front().size() - 1;
  std::string block;
  for (const Region& region : regions) {
    if (region.end - region.start > LARGEST_SCANNED_REGION) {
      scan.skipped.push_back(region.name + " (too large)");
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
        scan.skipped.push_back(region.name + " (unreadable from " +
                               std::to_string(at + block.size()) + ")");
        break;
      }
    }
    if (found > 0) {
      scan.found_in.push_back(region.name + (region.locked ? " (locked)" : "") + ": " +
                              std::to_string(found));
    }
    scan.occurrences += found;
    if (!region.locked) scan.unlocked_occurrences += found;
  }
  return scan;
}

std::size_t thread_count(pid_t pid) { return entries_in(pid, "task"); }

std::size_t descriptor_count(pid_t pid) { return entries_in(pid, "fd"); }

bool wait_for_thread_count(pid_t pid, std::size_t threads) {
  return wait_until([&] { return thread_count(pid) == threads; });
}

}  // namespace tarnwel::testing
