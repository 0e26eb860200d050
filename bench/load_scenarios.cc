#include "load_scenarios.h"

#include <unistd.h>

#include <fstream>
#include <memory>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "peer_servers.h"
#include "wire_client.h"

namespace tarnwel::bench {
namespace {

Json to_json(const ProcessSnapshot& s) {
  return {{"rss_kib", s.rss_kib},       {"pss_kib", s.pss_kib},
          {"locked_kib", s.locked_kib}, {"smaps_locked_kib", s.smaps_locked_kib},
          {"threads", s.threads},       {"descriptors", s.descriptors}};
}

// A server under measurement: its name in the record, its socket and pid.
struct Served {
  std::string name;
  std::string socket;
  pid_t pid;
};

// The two reference servers, the agent as it is by default and, when asked,
// the agent with TARNWEL_AGENT_WAKE_ON_CONNECT=1; the peers, when installed.
struct Servers {
  Servers(const Options& options, const std::string& askpass)
      : blocking_socket(options.work_dir + "/reference-blocking.sock"),
        poll_socket(options.work_dir + "/reference-poll.sock"),
        blocking({options.reference, blocking_socket, "blocking"}, {},
                 options.work_dir + "/reference-blocking.log"),
        poll({options.reference, poll_socket, "poll"}, {},
             options.work_dir + "/reference-poll.log"),
        agent(options, "agent", askpass),
        peers(options) {
    if (options.wake)
      wake = std::make_unique<Agent>(options, "agent-wake", askpass, false, WAKE_SETTING);
  }

  std::vector<Served> agents() const {
    std::vector<Served> out = {{"agent", agent.socket, agent.process.pid()}};
    if (wake) out.push_back({"agent-wake", wake->socket, wake->process.pid()});
    return out;
  }

  bool serving() const {
    bool all = wait_until_serving(blocking_socket, 5) && wait_until_serving(poll_socket, 5);
    for (const Served& a : agents()) all = all && wait_until_serving(a.socket, 5);
    return all;
  }

  std::string blocking_socket, poll_socket;
  ChildProcess blocking, poll;
  Agent agent;
  std::unique_ptr<Agent> wake;
  Peers peers;
};

// Every server left alone for IDLE_WINDOW: its wake-ups (voluntary context
// switches, of the main thread and of all threads), its CPU time, and its
// memory at the start of the window.
Json measure_idle(const Servers& s) {
  std::vector<Served> all = {{"reference-blocking", s.blocking_socket, s.blocking.pid()},
                             {"reference-poll", s.poll_socket, s.poll.pid()}};
  for (const Served& a : s.agents()) all.push_back(a);
  for (const Peer& p : s.peers.serving()) all.push_back({p.name, p.socket, p.pid()});
  // The start-up pings' threads end, those that stay a second for more too.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  progress("idle for " + std::to_string(IDLE_WINDOW.count()) + " s");
  std::vector<std::pair<ProcessSnapshot, CpuUse>> before;
  for (const Served& p : all) before.emplace_back(snapshot(p.pid), cpu_use(p.pid));
  std::this_thread::sleep_for(IDLE_WINDOW);
  Json rows = Json::array();
  for (std::size_t i = 0; i < all.size(); ++i) {
    const CpuUse after = cpu_use(all[i].pid);
    const CpuUse& was = before[i].second;
    rows.push_back({
        {"process", all[i].name},
        {"main_thread_wakeups", after.main_voluntary_switches - was.main_voluntary_switches},
        {"all_thread_wakeups", after.voluntary_switches - was.voluntary_switches},
        {"cpu_ticks", after.ticks - was.ticks},
        {"cpu_ms", static_cast<double>((after.on_cpu - was.on_cpu).count()) / 1e6},
        {"memory", to_json(before[i].first)},
    });
  }
  return rows;
}

// One closed-loop row under construction: the rounds so far, summed.
struct Accumulated {
  std::string server, scenario;
  pid_t pid;
  std::string socket, request, mark;
  Framing framing;
  LoadResult result;
  CpuUse cost;
  std::vector<double> per_round;
};

void add_round(Accumulated& row, LoadResult&& round, const CpuUse& before, const CpuUse& after) {
  row.per_round.push_back(round.seconds > 0 ? static_cast<double>(round.ok) / round.seconds : 0);
  LoadResult& sum = row.result;
  sum.latencies.insert(sum.latencies.end(), round.latencies.begin(), round.latencies.end());
  sum.ok += round.ok;
  sum.busy += round.busy;
  if (sum.failed == 0) sum.failure_sample = round.failure_sample;
  sum.failed += round.failed;
  sum.seconds += round.seconds;
  row.cost.ticks += after.ticks - before.ticks;
  row.cost.minor_faults += after.minor_faults - before.minor_faults;
}

// Closed-loop load, every server and request at every client count, in
// ROUNDS interleaved rounds; each row combines its rounds. The same-loop
// reference is measured again beside each of the default agent's requests,
// which are judged against it: a drift of the machine within a round then
// moves both sides of each comparison alike.
Json measure_closed_loop(const Options& options, const Servers& s) {
  const std::string get_request = get_secret_request("bench");
  const std::string secret_mark = "\"secret\":\"" + std::string(SECRET) + "\"";
  std::vector<Accumulated> plan;
  std::vector<std::size_t> order;  // what each round runs: indices into plan
  const auto add = [&](const std::string& server, const std::string& scenario, pid_t pid,
                       const std::string& socket, std::string_view request, std::string_view mark,
                       Framing framing = Framing::Line) {
    order.push_back(plan.size());
    plan.push_back({server,
                    scenario,
                    pid,
                    socket,
                    std::string(request),
                    std::string(mark),
                    framing,
                    {},
                    {},
                    {}});
  };
  for (const Peer& p : s.peers.serving()) {
    add(p.name, p.scenario, p.pid(), p.socket, p.request, p.ok_mark, p.framing);
  }
  add("reference-blocking", "ping", s.blocking.pid(), s.blocking_socket, PING_REQUEST, OK_MARK);
  const std::size_t same_loop = plan.size();
  add("reference-poll", "ping", s.poll.pid(), s.poll_socket, PING_REQUEST, OK_MARK);
  const std::string_view status_mark = R"("cached_profiles":["bench"])";
  for (const Served& a : s.agents()) {
    const bool by_default = a.name == "agent";
    for (const auto& [scenario, request, mark] :
         {std::tuple<std::string_view, std::string_view, std::string_view>{"ping", PING_REQUEST,
                                                                           OK_MARK},
          {"status", STATUS_REQUEST, status_mark},
          {"get_secret", get_request, secret_mark}}) {
      if (by_default && order.back() != same_loop) order.push_back(same_loop);
      add(a.name, std::string(scenario), a.pid, a.socket, request, mark);
    }
  }
  Json rows = Json::array();
  for (const int clients : CLIENT_COUNTS) {
    std::vector<Accumulated> measured = plan;
    for (int round = 1; round <= ROUNDS; ++round) {
      progress("load with " + std::to_string(clients) + " clients, round " + std::to_string(round));
      for (const std::size_t index : order) {
        Accumulated& row = measured[index];
        const CpuUse before = cpu_use(row.pid);
        LoadPlan load = load_plan(row.socket, row.request, row.mark, clients, options.duration);
        load.framing = row.framing;
        LoadResult result = run_closed_loop(load);
        add_round(row, std::move(result), before, cpu_use(row.pid));
      }
    }
    for (const Accumulated& row : measured) {
      ScenarioFigures figures =
          with_costs(figures_of(row.server, row.scenario, clients, row.result), CpuUse{}, row.cost);
      figures.per_second_by_round = row.per_round;
      rows.push_back(to_json(figures));
    }
  }
  return rows;
}

// A fresh agent, as the ordinary user under the common locked-memory limit
// when it can be, filled with 32-byte secrets step by step.
std::optional<Json> measure_cache_growth(const Options& options, const std::string& askpass) {
  progress("memory with many cached secrets");
  Agent many(options, "agent-many", askpass, /*ordinary=*/true);
  if (!wait_until_serving(many.socket, 5)) return std::nullopt;
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  Json steps = Json::array({{{"profiles", 0}, {"memory", to_json(snapshot(many.process.pid()))}}});
  int cached = 0;
  for (const int target : PROFILE_STEPS) {
    const LoadResult filled = populate(many.socket, cached, target);
    cached = target;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Json step = {{"profiles", target},
                 {"memory", to_json(snapshot(many.process.pid()))},
                 {"fill_seconds", filled.seconds},
                 {"failed_unlocks", filled.failed + filled.busy}};
    if (filled.failed > 0) step["first_failure"] = filled.failure_sample;
    steps.push_back(step);
    progress(std::to_string(target) + " profiles cached");
  }
  return Json{
      {"as_ordinary_user", many.as_ordinary_user},
      {"memlock_limit_kib", many.as_ordinary_user ? ORDINARY_MEMLOCK / 1024 : -1},
      {"secret_bytes", SMALL_SECRET.size()},
      {"mlock_warnings", count_lines(options.work_dir + "/agent-many.log", "mlock failed")},
      {"steps", steps},
  };
}

Json read_micro_results(const std::string& path) {
  std::ifstream in(path);
  if (!in) return Json::array();
  const Json doc = Json::parse(in, nullptr, false);
  if (!doc.is_object() || !doc.contains("benchmarks")) return Json::array();
  return doc["benchmarks"];
}

}  // namespace

std::optional<Json> measure(const Options& options) {
  const std::string askpass = write_askpass(options.work_dir);
  Json run = {{"settings",
               {{"duration_ms", options.duration.count()},
                {"client_counts", CLIENT_COUNTS},
                {"rounds", ROUNDS},
                {"idle_window_s", IDLE_WINDOW.count()},
                {"after_burst_s", AFTER_BURST.count()}}}};
  {
    Servers servers(options, askpass);
    if (!servers.serving()) {
      progress("a server did not start; see the logs in " + options.work_dir);
      return std::nullopt;
    }
    run["idle"] = measure_idle(servers);
    for (const Served& a : servers.agents()) {
      if (request_once(a.socket, unlock_request("bench", SECRET), OK_MARK).kind != ReplyKind::Ok) {
        progress("could not cache the profile for get_secret in " + a.name);
        return std::nullopt;
      }
    }
    run["closed_loop"] = measure_closed_loop(options, servers);
    std::this_thread::sleep_for(AFTER_BURST);  // what is left of the last burst's threads
    Json after = Json::array();
    for (const Served& a : servers.agents()) {
      after.push_back({{"process", a.name}, {"memory", to_json(snapshot(a.pid))}});
    }
    run["after_load"] = after;
  }
  const std::optional<Json> growth = measure_cache_growth(options, askpass);
  if (!growth) return std::nullopt;
  run["cache_growth"] = *growth;
  run["micro"] = read_micro_results(options.micro_json);
  return run;
}

}  // namespace tarnwel::bench
