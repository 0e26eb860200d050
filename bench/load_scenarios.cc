#include "load_scenarios.h"

#include <unistd.h>

#include <fstream>
#include <thread>
#include <tuple>

#include "protocol/json.h"
#include "wire_client.h"

namespace tarnwel::bench {
namespace {

double to_ns(double value, const std::string& unit) {
  if (unit == "us") return value * 1e3;
  if (unit == "ms") return value * 1e6;
  if (unit == "s") return value * 1e9;
  return value;
}

std::vector<MicroResult> read_micro_results(const std::string& path) {
  std::vector<MicroResult> results;
  std::ifstream in(path);
  if (!in) return results;
  const Json doc = Json::parse(in, nullptr, false);
  if (!doc.is_object() || !doc.contains("benchmarks")) return results;
  for (const Json& b : doc["benchmarks"]) {
    if (b.value("run_type", std::string("iteration")) != "iteration") continue;
    MicroResult r;
    r.name = b.value("name", std::string());
    const std::string unit = b.value("time_unit", std::string("ns"));
    r.real_ns = to_ns(b.value("real_time", 0.0), unit);
    r.cpu_ns = to_ns(b.value("cpu_time", 0.0), unit);
    r.iterations = b.value("iterations", std::uint64_t{0});
    for (const char* counter : {"reply_bytes", "items_per_second"}) {
      if (b.contains(counter)) r.counters[counter] = b[counter].get<double>();
    }
    results.push_back(r);
  }
  return results;
}

// The blocking reference, the same-loop reference, the two other accept
// loops, and the agent: the servers that the load scenarios compare.
struct Servers {
  explicit Servers(const Options& options, const std::string& askpass)
      : ref_socket(options.work_dir + "/reference.sock"),
        poll_socket(options.work_dir + "/reference-poll.sock"),
        backoff_socket(options.work_dir + "/reference-backoff.sock"),
        timeout_socket(options.work_dir + "/reference-timeout.sock"),
        reference({options.reference, ref_socket, "blocking"}, {},
                  options.work_dir + "/reference.log"),
        reference_poll({options.reference, poll_socket, "poll"}, {},
                       options.work_dir + "/reference-poll.log"),
        reference_backoff({options.reference, backoff_socket, "backoff"}, {},
                          options.work_dir + "/reference-backoff.log"),
        reference_timeout({options.reference, timeout_socket, "timeout"}, {},
                          options.work_dir + "/reference-timeout.log"),
        agent(options, "agent-load", askpass) {}

  bool serving() const {
    return wait_until_serving(ref_socket, 5) && wait_until_serving(poll_socket, 5) &&
           wait_until_serving(backoff_socket, 5) && wait_until_serving(timeout_socket, 5) &&
           wait_until_serving(agent.socket, 5);
  }

  std::string ref_socket, poll_socket, backoff_socket, timeout_socket;
  ChildProcess reference, reference_poll, reference_backoff, reference_timeout;
  Agent agent;
};

// Idle figures of the agent and the reference, and the agent's idle CPU
// beside the same-loop reference's.
void measure_idle(Servers& s, Measurements& m) {
  const pid_t agent_pid = s.agent.process.pid();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the start-up pings' threads end
  m.idle = snapshot(agent_pid);
  m.reference_idle = snapshot(s.reference.pid());
  m.idle_mappings = rss_by_mapping(agent_pid);

  progress("idle CPU over " + std::to_string(IDLE_CPU_WINDOW.count()) + " s");
  m.cpu_before = cpu_use(agent_pid);
  m.poll_cpu_before = cpu_use(s.reference_poll.pid());
  std::this_thread::sleep_for(IDLE_CPU_WINDOW);
  m.cpu_after = cpu_use(agent_pid);
  m.poll_cpu_after = cpu_use(s.reference_poll.pid());
}

// Closed-loop load, every scenario at every client count, servers in turn.
// The 64-client burst runs in interleaved rounds, every server once per
// round, so that a change of load on the shared machine falls on all of
// them; its rows combine the rounds, and each round is kept as well.
void measure_closed_loop(const Options& options, Servers& s, Measurements& m) {
  const pid_t agent_pid = s.agent.process.pid();
  const std::string get_request = get_secret_request("bench");
  const std::string secret_mark = "\"secret\":\"" + std::string(SECRET) + "\"";
  for (const int clients : CLIENT_COUNTS) {
    struct Measured {
      std::string server, scenario;
      LoadResult result;
      CpuUse cost;
    };
    std::vector<Measured> measured;
    const int rounds = clients == BURST_CLIENTS ? BURST_ROUNDS : 1;
    for (int round = 0; round < rounds; ++round) {
      std::size_t next = 0;
      // One round of closed-loop load on the server `pid`, added to its row.
      const auto load = [&](const std::string& server, const std::string& scenario, pid_t pid,
                            std::string_view socket, std::string_view request,
                            std::string_view mark) {
        const CpuUse before = cpu_use(pid);
        const LoadResult result =
            run_closed_loop(load_plan(socket, request, mark, clients, options.duration));
        const CpuUse after = cpu_use(pid);
        if (round == 0) measured.push_back({server, scenario, {}, {}});
        Measured& row = measured[next++];
        row.result.latencies.insert(row.result.latencies.end(), result.latencies.begin(),
                                    result.latencies.end());
        row.result.ok += result.ok;
        row.result.busy += result.busy;
        row.result.failed += result.failed;
        if (row.result.failure_sample.empty()) row.result.failure_sample = result.failure_sample;
        row.result.seconds += result.seconds;
        row.result.last_reply = result.last_reply;
        row.cost.ticks += after.ticks - before.ticks;
        row.cost.minor_faults += after.minor_faults - before.minor_faults;
        if (rounds > 1) {
          m.round_rows.push_back(
              with_costs(figures_of(server, scenario + ", round " + std::to_string(round + 1),
                                    clients, result),
                         before, after));
        }
        return result;
      };
      progress("load with " + std::to_string(clients) + " clients" +
               (rounds > 1 ? ", round " + std::to_string(round + 1) : ""));
      load("reference", "ping", s.reference.pid(), s.ref_socket, PING_REQUEST, OK_MARK);
      load("reference-poll", "ping", s.reference_poll.pid(), s.poll_socket, PING_REQUEST, OK_MARK);
      load("reference-backoff", "ping", s.reference_backoff.pid(), s.backoff_socket, PING_REQUEST,
           OK_MARK);
      load("reference-timeout", "ping", s.reference_timeout.pid(), s.timeout_socket, PING_REQUEST,
           OK_MARK);
      const std::pair<std::string, std::pair<std::string_view, std::string_view>> scenarios[] = {
          {"ping", {PING_REQUEST, OK_MARK}},
          {"status", {STATUS_REQUEST, R"("cached_profiles":["bench"])"}},
          {"get_secret", {get_request, secret_mark}},
      };
      for (const auto& [name, request] : scenarios) {
        std::optional<PeakSampler> sampler;
        if (clients == BURST_CLIENTS && round == 0) sampler.emplace(agent_pid);
        const LoadResult result =
            load("agent", name, agent_pid, s.agent.socket, request.first, request.second);
        if (sampler) {
          m.recoveries.push_back({name, sampler->threads(), sampler->descriptors(),
                                  wait_for_idle_counts(agent_pid, m.idle, result.last_reply)});
        }
      }
    }
    for (const Measured& r : measured) {
      ScenarioFigures row =
          with_costs(figures_of(r.server, r.scenario, clients, r.result), CpuUse{}, r.cost);
      if (r.server == "reference") {
        m.reference_rows.push_back(row);
      } else if (r.server == "reference-poll") {
        m.poll_rows.push_back(row);
        m.rows.push_back(row);
      } else if (r.server == "agent") {
        m.rows.push_back(row);
      } else {
        m.alternative_rows.push_back(row);
      }
    }
  }
  m.after_load = snapshot(agent_pid);
}

// The same agent with glibc's cache of thread stacks raised from its 40 MiB
// (five 8 MiB stacks) to 512 MiB, a setting of the environment it is
// started in: how much of what a burst costs is fresh thread stacks.
void measure_stack_cache(const Options& options, const std::string& askpass, Measurements& m) {
  progress("load with a larger stack cache");
  Agent cached(options, "agent-stack-cache", askpass, false, STACK_CACHE_TUNABLE);
  if (!wait_until_serving(cached.socket, 5) ||
      request_once(cached.socket, unlock_request("bench", SECRET), OK_MARK).kind != ReplyKind::Ok) {
    return;
  }
  const std::string get_request = get_secret_request("bench");
  const std::string secret_mark = "\"secret\":\"" + std::string(SECRET) + "\"";
  for (const auto& [name, request, mark] :
       {std::tuple<std::string, std::string_view, std::string_view>{"ping", PING_REQUEST, OK_MARK},
        {"get_secret", get_request, secret_mark}}) {
    const CpuUse before = cpu_use(cached.process.pid());
    const LoadResult result =
        run_closed_loop(load_plan(cached.socket, request, mark, BURST_CLIENTS, options.duration));
    const CpuUse after = cpu_use(cached.process.pid());
    m.stack_cache_rows.push_back(with_costs(
        figures_of("agent, stack cache 512 MiB", name, BURST_CLIENTS, result), before, after));
  }
}

LoadResult preconnected(std::string_view socket, std::string_view request, std::string_view mark,
                        int count) {
  return run_preconnected(load_plan(socket, request, mark), count, 50,
                          std::chrono::milliseconds(150));
}

// A sporadic client, requests on accepted connections, and unlocks.
void measure_single_requests(const Options& options, Servers& s, Measurements& m) {
  progress("sporadic client");
  const auto sporadic = [&](const std::string& socket) {
    return run_sporadic(load_plan(socket, PING_REQUEST, OK_MARK), SPORADIC_REQUESTS,
                        std::chrono::milliseconds(50), std::chrono::milliseconds(250));
  };
  m.sporadic_reference = {figures_of("reference", "ping, sporadic", 1, sporadic(s.ref_socket))};
  m.sporadic_rows = {
      figures_of("agent", "ping, sporadic", 1, sporadic(s.agent.socket)),
      figures_of("reference-poll", "ping, sporadic", 1, sporadic(s.poll_socket)),
      figures_of("reference-backoff", "ping, sporadic", 1, sporadic(s.backoff_socket)),
      figures_of("reference-timeout", "ping, sporadic", 1, sporadic(s.timeout_socket))};

  progress("requests on accepted connections");
  const std::string get_request = get_secret_request("bench");
  const std::string secret_mark = "\"secret\":\"" + std::string(SECRET) + "\"";
  const std::string& socket = s.agent.socket;
  m.handling_reference = {
      figures_of("reference", "ping", 1, preconnected(s.ref_socket, PING_REQUEST, OK_MARK, 200))};
  m.handling_rows = {
      figures_of("agent", "ping", 1, preconnected(socket, PING_REQUEST, OK_MARK, 200)),
      figures_of("agent", "get_secret", 1, preconnected(socket, get_request, secret_mark, 200)),
      figures_of("agent", "unlock (askpass grants)", 1,
                 preconnected(socket, unlock_request("bench", SECRET), std::string(OK_MARK), 50)),
  };

  progress("unlock");
  for (const int clients : {1, 8}) {
    m.unlock_rows.push_back(
        figures_of("agent", "unlock, one profile", clients,
                   run_closed_loop(load_plan(socket, unlock_request("bench", SECRET), OK_MARK,
                                             clients, options.duration))));
  }
  LoadPlan per_client = load_plan(socket, "", OK_MARK, 8, options.duration);
  per_client.request_for_client = [](int i) {
    return unlock_request("bench-" + std::to_string(i), SECRET);
  };
  m.unlock_rows.push_back(
      figures_of("agent", "unlock, a profile per client", 8, run_closed_loop(per_client)));
  (void)request_once(socket, R"({"cmd":"lock","protocol_version":2})", OK_MARK);
}

// A second agent, for memory as the cache grows and "status" with many profiles.
bool measure_many_profiles(const Options& options, const std::string& askpass, Measurements& m) {
  progress("memory with many cached secrets");
  Agent many(options, "agent-many", askpass, /*ordinary=*/true);
  if (!wait_until_serving(many.socket, 5)) return false;
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  m.steps = {{0, snapshot(many.process.pid()), 0, 0, {}}};
  for (const int target : PROFILE_STEPS) {
    const LoadResult filled = populate(many.socket, m.steps.back().profiles, target);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    m.steps.push_back(
        {target, snapshot(many.process.pid()), filled.seconds, filled.failed + filled.busy,
         filled.busy > 0 && filled.failed == 0 ? "presence_busy" : filled.failure_sample});
    progress(std::to_string(target) + " profiles cached");
  }
  m.mlock_warnings = count_lines(options.work_dir + "/agent-many.log", "mlock failed");
  m.many_as_ordinary_user = many.as_ordinary_user;
  // The last name of the listing; built in steps, as g++ 12 at -O3 warns
  // (falsely) about a literal prepended to a returned string.
  std::string last_name = "\"";
  last_name += profile_name(PROFILE_STEPS[2] - 1);
  last_name += "\"]";
  for (const int clients : {1, 8}) {
    m.status_rows.push_back(
        figures_of("agent", "status, 10,000 profiles", clients,
                   run_closed_loop(load_plan(many.socket, STATUS_REQUEST, last_name, clients,
                                             options.duration))));
  }
  m.status_rows.push_back(figures_of("agent", "status, 10,000 profiles, accepted connection", 1,
                                     preconnected(many.socket, STATUS_REQUEST, last_name, 100)));
  return true;
}

// ssh-agent at idle, for scale, and the same agent sources built another way
// (--variant NAME=PATH), idle only.
void measure_other_idle(const Options& options, const std::string& askpass, Measurements& m) {
  if (::access(options.ssh_agent.c_str(), X_OK) == 0) {
    ChildProcess ssh({options.ssh_agent, "-D", "-a", options.work_dir + "/ssh-agent.sock"}, {},
                     options.work_dir + "/ssh-agent.log");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    m.ssh_agent = snapshot(ssh.pid());
  }
  for (const auto& [name, path] : options.variants) {
    Options variant_options = options;
    variant_options.agent = path;
    Agent variant(variant_options, "agent-variant", askpass);
    if (!wait_until_serving(variant.socket, 5)) continue;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    m.variants.emplace_back(name, snapshot(variant.process.pid()));
  }
}

}  // namespace

std::optional<Measurements> measure(const Options& options) {
  const std::string askpass = write_askpass(options.work_dir);
  Measurements m;
  {
    Servers servers(options, askpass);
    if (!servers.serving()) {
      progress("a server did not start; see the logs in " + options.work_dir);
      return std::nullopt;
    }
    measure_idle(servers, m);
    if (request_once(servers.agent.socket, unlock_request("bench", SECRET), OK_MARK).kind !=
        ReplyKind::Ok) {
      progress("could not cache the profile for get_secret");
      return std::nullopt;
    }
    measure_closed_loop(options, servers, m);
    measure_stack_cache(options, askpass, m);
    measure_single_requests(options, servers, m);
    if (!measure_many_profiles(options, askpass, m)) return std::nullopt;
  }
  measure_other_idle(options, askpass, m);
  m.micro = read_micro_results(options.micro_json);
  return m;
}

}  // namespace tarnwel::bench
