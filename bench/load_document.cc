#include "load_document.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

namespace tarnwel::bench {
namespace {

std::string kib(long value) { return std::to_string(value) + " KiB"; }

const MicroResult* find_micro(const std::vector<MicroResult>& results, const std::string& name) {
  for (const MicroResult& r : results) {
    if (r.name == name) return &r;
  }
  return nullptr;
}

std::string micro_time(double ns) {
  if (ns >= 1e6) return fixed(ns / 1e6, 2) + " ms";
  if (ns >= 1e3) return fixed(ns / 1e3, 2) + " µs";
  return fixed(ns, 0) + " ns";
}

std::string verdict(bool holds) { return holds ? "holds" : "**missed**"; }

// The agent's closed-loop row of `scenario` at `clients`.
const ScenarioFigures& agent_row(const Measurements& m, const std::string& scenario, int clients) {
  for (const ScenarioFigures& r : m.rows) {
    if (r.server == "agent" && r.scenario == scenario && r.clients == clients) return r;
  }
  return m.rows.front();
}

// The slowest return to idle counts after a burst, in ms; 1e9 when one did
// not return within 5 s.
double worst_recovery_ms(const Measurements& m) {
  double worst = 0;
  for (const Recovery& r : m.recoveries) {
    worst = r.ms_after_last_reply < 0 ? 1e9 : std::max(worst, r.ms_after_last_reply);
  }
  return worst;
}

double cpu_ms(const CpuUse& before, const CpuUse& after) {
  return static_cast<double>((after.on_cpu - before.on_cpu).count()) / 1e6;
}

const double IDLE_WINDOW_MS = std::chrono::duration<double, std::milli>(IDLE_CPU_WINDOW).count();

// Every table of the run, each with what it measures and how.
void write_tables(std::ostream& out, const Options& options, const Measurements& m) {
  out << "## Load: one connection per request\n\n"
      << "Each client is a thread that connects, sends one request, reads the reply and closes, "
         "then starts the next request at once, for "
      << fixed(static_cast<double>(options.duration.count()) / 1000, 1)
      << " s per row. Latency is from connect to the complete reply. `reference` is the simplest "
         "server of the same design (blocking accept, one thread per connection, fixed \"ping\" "
         "reply after one line); `reference-poll` is the same server with the agent's accept "
         "loop (non-blocking listener, 100 ms sleep when nothing is pending), so that the cost of "
         "polling shows apart from the cost of the agent's request handling. The \"x ref\" columns "
         "divide by the `reference` row with the same number of clients, the \"x poll\" columns by "
         "the `reference-poll` row. Minor faults and CPU time per request are the server "
         "process's own over the whole row (minflt and utime+stime of /proc/PID/stat, which count "
         "the threads that have ended; CPU in clock ticks of "
      << 1000 / ::sysconf(_SC_CLK_TCK) << " ms), divided by the requests of the row.\n\n"
      << load_table(m.reference_rows, m.reference_rows) << "\n"
      << load_table(m.rows, m.reference_rows, m.poll_rows) << "\n"
      << "The " << BURST_CLIENTS << "-client rows above combine " << BURST_ROUNDS
      << " rounds, run interleaved (every server once, then every server again), so that a change "
         "of load on the machine falls on all servers alike: requests and time summed, latencies "
         "pooled. Each round alone, its \"x\" columns against the combined reference rows:\n\n"
      << load_table(m.round_rows, m.reference_rows, m.poll_rows) << "\n"
      << "Two other ways of waiting for a connection, tried on the reference server: "
         "`reference-backoff` polls too, but sleeps 1 ms after a connection and doubles the sleep "
         "up to 100 ms while nothing comes; `reference-timeout` blocks in accept with a 100 ms "
         "receive time-out on the listener (SO_RCVTIMEO, which Linux applies to accept), so it "
         "still wakes every 100 ms to look at a flag but takes a connection the moment it "
         "arrives.\n\n"
      << load_table(m.alternative_rows, m.reference_rows, m.poll_rows) << "\n"
      << "The agent once more, started with `" << STACK_CACHE_TUNABLE
      << "`: glibc then keeps up to 512 MiB of finished threads' stacks for new threads instead "
         "of 40 MiB (five stacks of 8 MiB), so a burst's threads seldom need a fresh stack.\n\n"
      << load_table(m.stack_cache_rows, m.reference_rows, m.poll_rows) << "\n";

  out << "## A sporadic client\n\n"
      << SPORADIC_REQUESTS
      << " \"ping\" requests from one client, each after a pause drawn uniformly from 50-250 ms, "
         "so that requests arrive at random points of the accept loop's 100 ms sleep.\n\n"
      << load_table(m.sporadic_reference, m.sporadic_reference) << "\n"
      << load_table(m.sporadic_rows, m.sporadic_reference) << "\n"
      << "Mean latency: reference " << fixed(m.sporadic_reference[0].latency.mean_ms, 2)
      << " ms, agent " << fixed(m.sporadic_rows[0].latency.mean_ms, 2) << " ms, reference-poll "
      << fixed(m.sporadic_rows[1].latency.mean_ms, 2) << " ms, reference-backoff "
      << fixed(m.sporadic_rows[2].latency.mean_ms, 2) << " ms, reference-timeout "
      << fixed(m.sporadic_rows[3].latency.mean_ms, 2) << " ms.\n\n";

  out << "## Request handling on connections already accepted\n\n"
         "Connections are opened in batches of 50 and given 150 ms, longer than one poll, to be "
         "accepted; then one request after the other is sent on them and timed from the send to "
         "the reply. This leaves out the wait for the accept loop and shows the agent's own work "
         "per request (thread start, read, dispatch, reply), one request at a time.\n\n"
      << load_table(m.handling_reference, m.handling_reference) << "\n"
      << load_table(m.handling_rows, m.handling_reference) << "\n";

  out << "## Unlock with a presence program that grants at once\n\n"
         "The askpass backend runs `#!/bin/sh` + `exit 0` for every check. With one profile, "
         "concurrent unlocks share the running check. With a profile per client, an unlock that "
         "arrives while another profile's check runs is refused at once with presence_busy; those "
         "replies are counted under \"busy\", not as failures, and not in the latency.\n\n"
      << load_table(m.unlock_rows, m.reference_rows) << "\n";

  const long page_kib = ::sysconf(_SC_PAGESIZE) / 1024;
  out << "## Memory as the cache grows\n\n"
         "A fresh agent, filled by \"unlock\" requests (granting askpass) of 32-byte secrets one "
         "after the other, over connections opened in batches of 200. "
      << (m.many_as_ordinary_user
              ? "It runs as the ordinary user nobody (uid 65534) under a "
                "locked-memory limit of 8 MiB "
                "(prlimit, setpriv), the common limit of an ordinary user. "
              : "It runs as uid " + std::to_string(::getuid()) +
                    " with the limit of this shell (prlimit or setpriv missing, "
                    "or not run as root). ")
      << "Locked memory from VmLck (/proc/PID/status) and Locked (/proc/PID/smaps_rollup); the "
         "page "
         "size is "
      << page_kib << " KiB. The agent wrote " << m.mlock_warnings
      << " mlock warning line(s) while it was filled.\n\n"
      << table_header({"cached secrets", "VmRSS", "VmLck", "smaps Locked", "locked per secret",
                       "RSS per secret", "fill time", "failed unlocks"});
  for (const CacheStep& s : m.steps) {
    const auto per = [&](long now, long base) {
      return s.profiles > 0 ? fixed(static_cast<double>(now - base) / s.profiles, 2) + " KiB" : "-";
    };
    out << table_row({std::to_string(s.profiles), kib(s.snap.rss_kib), kib(s.snap.locked_kib),
                      kib(s.snap.smaps_locked_kib),
                      per(s.snap.locked_kib, m.steps[0].snap.locked_kib),
                      per(s.snap.rss_kib, m.steps[0].snap.rss_kib),
                      s.profiles > 0 ? fixed(s.seconds, 1) + " s" : "-", std::to_string(s.failed)});
  }
  for (const CacheStep& s : m.steps) {
    if (s.failed > 0)
      out << "\nFirst failed unlock on the way to " << s.profiles << ": `" << s.failure_sample
          << "`\n";
  }
  out << "\n## \"status\" with 10,000 cached profiles\n\n"
      << load_table(m.status_rows, m.reference_rows) << "\n";

  out << "## Resident memory at idle\n\n"
      << "Pss divides each shared page among the processes that map it, so shared libraries "
         "weigh less there than in VmRSS.\n\n"
      << table_header({"process", "VmRSS", "Pss"})
      << table_row({"tarnwel-agent, idle after start", kib(m.idle.rss_kib), kib(m.idle.pss_kib)})
      << table_row({"tarnwel-agent, idle after the load tests", kib(m.after_load.rss_kib),
                    kib(m.after_load.pss_kib)})
      << table_row({"reference server, idle", kib(m.reference_idle.rss_kib),
                    kib(m.reference_idle.pss_kib)});
  for (const auto& [name, snap] : m.variants) {
    out << table_row({name + ", idle after start", kib(snap.rss_kib), kib(snap.pss_kib)});
  }
  if (m.ssh_agent)
    out << table_row({"ssh-agent -D, idle", kib(m.ssh_agent->rss_kib), kib(m.ssh_agent->pss_kib)});
  out << "\nWhere the agent's idle resident memory is (/proc/PID/smaps, Rss summed by mapping):\n\n"
      << table_header({"mapping", "Rss"});
  for (const MappingRss& r : m.idle_mappings)
    out << table_row({"`" + r.name + "`", kib(r.rss_kib)});

  out << "\n## Threads and descriptors after a burst\n\n"
      << "At idle the agent has " << m.idle.threads << " thread(s) and " << m.idle.descriptors
      << " open descriptors. For each " << BURST_CLIENTS
      << "-client run: the highest counts seen (sampled every 10 ms) and the time from the last "
         "reply until both counts are back at idle (checked every millisecond).\n\n"
      << table_header({"burst", "peak threads", "peak descriptors", "back to idle after"});
  for (const Recovery& r : m.recoveries) {
    out << table_row(
        {r.scenario, std::to_string(r.peak_threads), std::to_string(r.peak_descriptors),
         r.ms_after_last_reply < 0 ? "not within 5 s" : fixed(r.ms_after_last_reply, 1) + " ms"});
  }

  const double idle_cpu_ms = cpu_ms(m.cpu_before, m.cpu_after);
  const double poll_cpu_ms = cpu_ms(m.poll_cpu_before, m.poll_cpu_after);
  const double window_ms = IDLE_WINDOW_MS;
  out << "\n## CPU at idle\n\n"
      << "Over " << IDLE_CPU_WINDOW.count() << " s with no client: utime+stime from /proc/PID/stat "
      << "(clock ticks of " << 1000 / ::sysconf(_SC_CLK_TCK) << " ms), run time from each "
      << "thread's /proc/PID/task/TID/schedstat (ns), and voluntary context switches, one per "
      << "wake-up of the accept loop.\n\n"
      << table_header({"process", "utime+stime ticks", "run time", "share of one core", "wake-ups",
                       "cost per wake-up"})
      << table_row(
             {"tarnwel-agent", std::to_string(m.cpu_after.ticks - m.cpu_before.ticks),
              fixed(idle_cpu_ms, 3) + " ms", fixed(idle_cpu_ms / window_ms * 100, 4) + " %",
              std::to_string(m.cpu_after.voluntary_switches - m.cpu_before.voluntary_switches),
              fixed(idle_cpu_ms * 1000 /
                        std::max<double>(1, static_cast<double>(m.cpu_after.voluntary_switches -
                                                                m.cpu_before.voluntary_switches)),
                    1) +
                  " µs"})
      << table_row({"reference-poll",
                    std::to_string(m.poll_cpu_after.ticks - m.poll_cpu_before.ticks),
                    fixed(poll_cpu_ms, 3) + " ms", fixed(poll_cpu_ms / window_ms * 100, 4) + " %",
                    std::to_string(m.poll_cpu_after.voluntary_switches -
                                   m.poll_cpu_before.voluntary_switches),
                    "-"})
      << "\n";

  out << "## Micro-benchmarks\n\n"
         "Google Benchmark, linked against the agent's own libraries; a trivial granting presence "
         "backend and the monotonic clock stand behind the SecretCache. `threads:N` rows run N "
         "threads on one cache after the same profile, with real (wall) time per operation.\n\n"
      << table_header({"benchmark", "real time", "CPU time", "iterations"});
  for (const MicroResult& r : m.micro) {
    std::string name = "`" + r.name + "`";
    if (const auto bytes = r.counters.find("reply_bytes"); bytes != r.counters.end()) {
      name += " (" + fixed(bytes->second, 0) + " bytes)";
    }
    if (const auto rate = r.counters.find("items_per_second"); rate != r.counters.end()) {
      name += " (" + fixed(rate->second / 1e3, 0) + "k/s over all threads)";
    }
    out << table_row(
        {name, micro_time(r.real_ns), micro_time(r.cpu_ns), std::to_string(r.iterations)});
  }
  if (m.micro.empty()) out << "| (no results were given) | | | |\n";
}

// Each target beside the figure of this run it is judged by.
void write_targets(std::ostream& out, const Measurements& m) {
  const auto agent_row = [&](const std::string& scenario, int clients) -> const ScenarioFigures& {
    return tarnwel::bench::agent_row(m, scenario, clients);
  };
  const ScenarioFigures& ref64 = *find_clients(m.reference_rows, 64);
  out << "\n## Targets\n\n" << table_header({"target", "measured", "verdict"});
  const ScenarioFigures* poll64_target = find_clients(m.poll_rows, 64);
  for (const std::string scenario : {"ping", "status", "get_secret"}) {
    const ScenarioFigures& r = agent_row(scenario, 64);
    if (poll64_target == nullptr) break;
    const ScenarioFigures& poll = *poll64_target;
    const double rate = poll.per_second > 0 ? r.per_second / poll.per_second : 0;
    const double p99 = poll.latency.p99_ms > 0 ? r.latency.p99_ms / poll.latency.p99_ms : 0;
    out << table_row(
        {"64 clients \"" + scenario + "\": throughput >= 0.95x the same-loop reference's \"ping\"",
         fixed(r.per_second, 0) + " vs " + fixed(poll.per_second, 0) +
             " req/s = " + fixed(rate, 3) + "x (" + fixed(r.per_second / ref64.per_second, 3) +
             "x the blocking reference)",
         verdict(rate >= 0.95)});
    out << table_row({"64 clients \"" + scenario + "\": p99 <= 1.5x the same-loop reference's",
                      fixed(r.latency.p99_ms, 2) + " vs " + fixed(poll.latency.p99_ms, 2) +
                          " ms = " + fixed(p99, 2) + "x",
                      verdict(p99 <= 1.5)});
    out << table_row({"64 clients \"" + scenario + "\": at most 2 minor page faults per request",
                      fixed(r.minor_faults_per_request, 2) + " per request (same-loop reference " +
                          fixed(poll.minor_faults_per_request, 2) + "); agent CPU " +
                          fixed(r.cpu_us_per_request, 1) + " µs per request (reference " +
                          fixed(poll.cpu_us_per_request, 1) + ")",
                      verdict(r.minor_faults_per_request >= 0 && r.minor_faults_per_request <= 2)});
  }
  out << table_row({"sporadic client waits for the next poll, about 50 ms on average (by design)",
                    "mean " + fixed(m.sporadic_rows[0].latency.mean_ms, 1) + " ms, p50 " +
                        fixed(m.sporadic_rows[0].latency.p50_ms, 1) + " ms, max " +
                        fixed(m.sporadic_rows[0].latency.max_ms, 1) + " ms (reference mean " +
                        fixed(m.sporadic_reference[0].latency.mean_ms, 2) + " ms)",
                    "as designed"});
  const MicroResult* status_written = find_micro(m.micro, "BM_status_reply_written/10000");
  const ScenarioFigures& status_accepted = m.status_rows.back();
  if (status_written != nullptr) {
    out << table_row(
        {"\"status\" with 10,000 profiles built and written within 10 ms of the "
         "agent's time",
         micro_time(status_written->cpu_ns) + " CPU, " + micro_time(status_written->real_ns) +
             " wall (micro-benchmark); " + fixed(status_accepted.latency.p50_ms, 2) +
             " ms p50 end to end on an accepted connection",
         verdict(status_written->cpu_ns <= 10e6 && status_accepted.latency.p50_ms <= 10)});
  }
  const CacheStep& full = m.steps.back();
  // Per secret actually stored: a failed unlock stores nothing.
  std::size_t failed_unlocks = 0;
  for (const CacheStep& s : m.steps) failed_unlocks += s.failed;
  const auto stored = static_cast<double>(full.profiles) - static_cast<double>(failed_unlocks);
  const double locked_per_secret =
      static_cast<double>(full.snap.locked_kib - m.steps[0].snap.locked_kib) / stored;
  out << table_row(
      {"10,000 cached 32-byte secrets lock at most 1 MiB, with no mlock warning, "
       "under an 8 MiB limit as an ordinary user",
       kib(full.snap.locked_kib) + " locked for " + fixed(stored, 0) + " stored secrets (" +
           fixed(locked_per_secret * 1024, 0) + " locked bytes each), " +
           std::to_string(m.mlock_warnings) + " warning(s)" +
           (m.many_as_ordinary_user
                ? ", as nobody under 8 MiB"
                : ", as uid " + std::to_string(::getuid()) + " (not an ordinary user)"),
       verdict(full.snap.locked_kib <= 1024 && m.mlock_warnings == 0 && failed_unlocks == 0)});
  out << table_row(
      {"idle RSS at most 2 MiB",
       kib(m.idle.rss_kib) +
           (m.ssh_agent ? " (ssh-agent " + kib(m.ssh_agent->rss_kib) + ")" : std::string()),
       verdict(m.idle.rss_kib <= 2048)});
  const double worst_recovery = worst_recovery_ms(m);
  out << table_row(
      {"threads and descriptors back to idle within 1 s of the last reply",
       worst_recovery >= 1e9 ? "not within 5 s" : "at most " + fixed(worst_recovery, 1) + " ms",
       verdict(worst_recovery <= 1000)});
  const double idle_cpu_ms = cpu_ms(m.cpu_before, m.cpu_after);
  const double window_ms = IDLE_WINDOW_MS;
  out << table_row({"idle polling costs next to nothing",
                    fixed(idle_cpu_ms, 2) + " ms of CPU in " +
                        std::to_string(IDLE_CPU_WINDOW.count()) + " s (" +
                        fixed(idle_cpu_ms / window_ms * 100, 4) + " % of a core)",
                    verdict(idle_cpu_ms / window_ms <= 0.001)});
}

// A reading of the figures, in words whose every number is one of them.
void write_reading(std::ostream& out, const Options& options, const Measurements& m) {
  const auto agent_row = [&](const std::string& scenario, int clients) -> const ScenarioFigures& {
    return tarnwel::bench::agent_row(m, scenario, clients);
  };
  const ScenarioFigures& ref64 = *find_clients(m.reference_rows, 64);
  const ScenarioFigures& status_accepted = m.status_rows.back();
  const CacheStep& full = m.steps.back();
  const double worst_recovery = worst_recovery_ms(m);
  // CPU time of the benchmark's thread: on a busy shared machine wall time
  // also counts the waits for a core. Wall time where other threads do the work.
  const auto micro_text = [&](const std::string& name, bool cpu = true) {
    const MicroResult* r = find_micro(m.micro, name);
    return r != nullptr ? micro_time(cpu ? r->cpu_ns : r->real_ns) : std::string("(not measured)");
  };
  const auto micro_rate = [&](const std::string& name) {
    const MicroResult* r = find_micro(m.micro, name);
    if (r == nullptr || r->counters.count("items_per_second") == 0) return std::string("-");
    return fixed(r->counters.at("items_per_second") / 1e3, 0) + "k/s";
  };
  const auto alternative = [&](const std::string& server, int clients) -> const ScenarioFigures* {
    for (const ScenarioFigures& r : m.alternative_rows) {
      if (r.server == server && r.clients == clients) return &r;
    }
    return nullptr;
  };
  const ScenarioFigures& ping1 = agent_row("ping", 1);
  const ScenarioFigures& ping8 = agent_row("ping", 8);
  const ScenarioFigures& ping64 = agent_row("ping", 64);
  const ScenarioFigures& get64 = agent_row("get_secret", 64);
  const ScenarioFigures* poll64 = find_clients(m.rows, 64);  // reference-poll comes first per count
  const ScenarioFigures* timeout64 = alternative("reference-timeout", 64);
  const ScenarioFigures* backoff64 = alternative("reference-backoff", 64);
  std::size_t interrupted = 0;
  std::string interrupted_sample;
  for (const CacheStep& s : m.steps) {
    interrupted += s.failed;
    if (interrupted_sample.empty()) interrupted_sample = s.failure_sample;
  }
  out << "\n## Reading\n\n"
      << "Micro-benchmark figures here are CPU times unless said otherwise.\n\n"
      << "**Where the time goes.** The agent's own work per request is small: "
      << "`handle_connection` costs " << micro_text("BM_handle_connection_ping")
      << " for \"ping\" and " << micro_text("BM_handle_connection_get_secret")
      << " for \"get_secret\", and starting and "
      << "ending the connection's thread " << micro_text("BM_thread_start_join", false)
      << " (wall time). On connections "
      << "already accepted it answers \"ping\" with a p50 of "
      << fixed(m.handling_rows[0].latency.p50_ms, 3) << " ms against the reference's "
      << fixed(m.handling_reference[0].latency.p50_ms, 3)
      << " ms. What dominates every load figure is the accept loop's 100 ms sleep. It starts "
         "whenever accept finds nothing pending, which in a burst happens as soon as the loop has "
         "taken the connections that were waiting, while their clients still wait for replies; the "
         "next connections then wait for the sleep to end. With one client every request waits for "
         "the next poll (p50 "
      << fixed(ping1.latency.p50_ms, 1) << " ms, " << fixed(ping1.per_second, 0)
      << " req/s against the reference's "
      << fixed(find_clients(m.reference_rows, 1)->per_second, 0)
      << "). `reference-poll` differs from the reference only in the polled accept (";
  if (poll64 != nullptr) {
    out << fixed(poll64->per_second, 0) << " req/s at 64 clients, "
        << fixed(poll64->per_second / ref64.per_second, 2) << "x the reference, p99 "
        << fixed(poll64->latency.p99_ms, 1) << " ms";
  }
  // Whether the polled loop alone keeps up at 64 clients decides where the gap is.
  if (poll64 != nullptr && poll64->per_second >= 0.8 * ref64.per_second) {
    out << "). With 64 clients it keeps up: its connections cost so little that clients are back "
           "in the backlog before the loop has drained it. The agent's connections cost more "
           "(thread start, JSON, the wiped stack and heap, and for \"get_secret\" the locked "
           "copy), "
           "and on two cores shared with 64 clients that extra work is what lets the backlog run "
           "dry, so the agent sleeps where `reference-poll` does not. Accepting in a blocking call "
           "with a 100 ms time-out (`reference-timeout`) would take that sleep out of the picture: "
           "it "
           "keeps the 100 ms look at the shutdown flag and the idle limit and matches the "
           "reference (";
  } else {
    out << "), so the gap is the accept loop, not the request handling. Accepting in a blocking "
           "call with a 100 ms time-out (`reference-timeout`) keeps the 100 ms look at the "
           "shutdown "
           "flag and the idle limit and matches the reference (";
  }
  if (timeout64 != nullptr)
    out << fixed(timeout64->per_second / ref64.per_second, 2) << "x its throughput and "
        << fixed(timeout64->latency.p99_ms / ref64.latency.p99_ms, 2) << "x its p99 at 64 clients";
  out << ", sporadic mean " << fixed(m.sporadic_rows[3].latency.mean_ms, 2)
      << " ms); a sleep that starts at 1 ms after a connection and doubles up to 100 ms "
         "(`reference-backoff`) recovers most of the throughput under load (";
  if (backoff64 != nullptr)
    out << fixed(backoff64->per_second / ref64.per_second, 2) << "x at 64 clients";
  out << ") but not the sporadic client's wait (mean "
      << fixed(m.sporadic_rows[2].latency.mean_ms, 1) << " ms).\n\n"
      << "**Concurrency.** More clients raise the agent's throughput only because more connections "
         "are pending when the loop wakes up: \"ping\" goes from "
      << fixed(ping1.per_second, 0) << " to " << fixed(ping8.per_second, 0) << " to "
      << fixed(ping64.per_second, 0)
      << " req/s with 1, 8 and 64 clients, while p99 stays at "
         "the length of one sleep ("
      << fixed(ping64.latency.p99_ms, 1)
      << " ms at 64 clients). Threads and descriptors follow the "
         "connections: the peaks above are the connections in flight, and each thread ends with "
         "its reply, so both counts are back at idle at most "
      << fixed(worst_recovery, 1) << " ms after the last reply.\n\n"
      << "**Page faults and CPU per request.** At 64 clients the agent takes "
      << fixed(ping64.minor_faults_per_request, 2) << " minor faults and "
      << fixed(ping64.cpu_us_per_request, 1) << " µs of CPU per \"ping\", "
      << fixed(agent_row("status", 64).minor_faults_per_request, 2) << " and "
      << fixed(agent_row("status", 64).cpu_us_per_request, 1) << " µs per \"status\", "
      << fixed(get64.minor_faults_per_request, 2) << " and " << fixed(get64.cpu_us_per_request, 1)
      << " µs per \"get_secret\"; the same-loop reference "
      << (poll64 != nullptr ? fixed(poll64->minor_faults_per_request, 2) + " and " +
                                  fixed(poll64->cpu_us_per_request, 1) + " µs"
                            : std::string("-"))
      << ". A connection thread wipes only the stack its request can have used (12 KiB, or 28 KiB "
         "for an unlock, which may run the presence program), and of that only the pages that are "
         "resident (mincore), since a page that is not holds nothing; so the wipe itself faults in "
         "no page. What faults remain come with fresh thread stacks, whose first pages "
         "pthread_create writes (the thread descriptor and its TLS): glibc caches "
         "only about 40 MiB of stacks (five of 8 MiB), so whenever more connection threads than "
         "that are alive at once, new stacks are mapped; the peak thread counts above show how "
         "many were.";
  if (m.stack_cache_rows.size() == 2 && poll64 != nullptr) {
    out << " Started with glibc's stack cache raised to 512 MiB, the agent takes "
        << fixed(m.stack_cache_rows[0].minor_faults_per_request, 2) << " faults and "
        << fixed(m.stack_cache_rows[0].cpu_us_per_request, 1) << " µs per \"ping\" ("
        << fixed(m.stack_cache_rows[0].per_second / poll64->per_second, 2)
        << "x the same-loop reference's throughput) and "
        << fixed(m.stack_cache_rows[1].minor_faults_per_request, 2) << " faults and "
        << fixed(m.stack_cache_rows[1].cpu_us_per_request, 1) << " µs per \"get_secret\" ("
        << fixed(m.stack_cache_rows[1].per_second / poll64->per_second, 2)
        << "x). That is a setting of the environment the agent is started in "
           "(GLIBC_TUNABLES), not of the agent, and it is not set anywhere in this project.";
  }
  out << "\n\n"
      << "**\"get_secret\".** Each reply needs a copy of the secret in a `LockedSecret` of its "
         "own: "
         "a slot of the locked arena, taken and given back under the arena's mutex with no system "
         "call while the arena has room, and wiped on the way out ("
      << micro_text("BM_locked_secret_create_destroy/33") << " for 33 bytes, against "
      << micro_text("BM_heap_buffer_create_wipe/33")
      << " for a wiped heap buffer; a 100,000-byte "
         "secret, which gets a fenced mapping of its own, "
      << micro_text("BM_locked_secret_create_destroy/100000") << "). `SecretCache::get` does "
      << micro_rate("BM_secret_cache_get/real_time/threads:1") << " on one thread and "
      << micro_rate("BM_secret_cache_get/real_time/threads:8")
      << " summed over eight. Under load \"get_secret\" reaches " << fixed(get64.per_second, 0)
      << " req/s at 64 clients against " << fixed(ping64.per_second, 0) << " for \"ping\".\n\n"
      << "**Number of profiles.** \"status\" grows linearly with the number of cached profiles: "
         "built and written in "
      << micro_text("BM_status_reply_written/1") << ", "
      << micro_text("BM_status_reply_written/1000") << " and "
      << micro_text("BM_status_reply_written/10000")
      << " for 1, 1,000 and 10,000 profiles; `live_profiles` alone (sorting and copying 10,000 "
         "names) "
         "is "
      << micro_text("BM_secret_cache_live_profiles/10000")
      << " of that. End to end on an accepted connection the 10,000-profile reply takes "
      << fixed(status_accepted.latency.p50_ms, 2)
      << " ms (p50). Secrets share locked chunks of "
         "64 KiB, one size of slot per chunk (16 bytes to 16 KiB, powers of two), so 10,000 "
         "secrets of 32 bytes lock "
      << kib(full.snap.locked_kib) << " in all and about "
      << fixed(static_cast<double>(full.snap.rss_kib - m.steps[0].snap.rss_kib) / full.profiles, 2)
      << " KiB of resident memory each.\n\n";
  // The idle breakdown, summed: shared libraries and the loader, the
  // agent's own file, and everything else (heap, stacks, anonymous memory).
  const std::string executable = std::filesystem::path(options.agent).filename();
  long libraries_kib = 0, executable_kib = 0, other_kib = 0;
  for (const MappingRss& mapping : m.idle_mappings) {
    long& sum = mapping.name.find(".so") != std::string::npos ? libraries_kib
                : mapping.name == executable                  ? executable_kib
                                                              : other_kib;
    sum += mapping.rss_kib;
  }
  out << "**Idle memory.** " << kib(m.idle.rss_kib) << " resident at idle: " << kib(libraries_kib)
      << " in shared libraries and the loader, " << kib(executable_kib) << " in `" << executable
      << "` itself and " << kib(other_kib)
      << " in the heap, the stacks and anonymous memory. The reference server idles at "
      << kib(m.reference_idle.rss_kib) << ".";
  for (const auto& [name, snap] : m.variants) {
    out << " The agent built as `" << name << "` idles at " << kib(snap.rss_kib) << ".";
  }
  out << "\n\n";
  if (interrupted > 0) {
    out << "**Failed unlocks.** While the cache was filled, " << interrupted
        << " unlocks sent over connections that the agent had accepted and was reading failed; "
           "the first one's reply or reason: `"
        << interrupted_sample << "`.\n\n";
  }
}

}  // namespace

std::string performance_document(const Options& options, const Measurements& m) {
  std::ostringstream out;
  write_tables(out, options, m);
  write_targets(out, m);
  write_reading(out, options, m);
  return out.str();
}

}  // namespace tarnwel::bench
