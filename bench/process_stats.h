// What /proc tells about a running process: resident and locked memory,
// threads, descriptors, CPU time and wake-ups. Linux only; every reader returns zero or
// an empty list when the file cannot be read.
//
//   ProcessSnapshot s = snapshot(pid);
//   std::printf("%ld KiB resident, %ld threads\n", s.rss_kib, s.threads);
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>

namespace tarnwel::bench {

struct ProcessSnapshot {
  long rss_kib = 0;           // VmRSS
  long pss_kib = 0;           // Pss in smaps_rollup: shared pages divided among their users
  long locked_kib = 0;        // VmLck
  long smaps_locked_kib = 0;  // Locked in smaps_rollup
  long threads = 0;           // entries of /proc/PID/task
  long descriptors = 0;       // entries of /proc/PID/fd
};

ProcessSnapshot snapshot(pid_t pid);

struct CpuUse {
  std::uint64_t ticks = 0;               // utime + stime, in clock ticks
  std::chrono::nanoseconds on_cpu{0};    // schedstat run time, summed over threads
  std::uint64_t voluntary_switches = 0;  // of every thread, from each task's status
  // Of the main thread alone: each is one wake-up of a loop that sleeps there.
  std::uint64_t main_voluntary_switches = 0;
  std::uint64_t minor_faults = 0;  // minflt of stat, ended threads included
};

CpuUse cpu_use(pid_t pid);

}  // namespace tarnwel::bench
