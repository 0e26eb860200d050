#!/usr/bin/env python3
"""Renders docs/performance.md and its two SVG charts from one run's record.

    python3 bench/render.py bench/results/run-20261208T1200Z.json [DOCS_DIR]

The charts are drawn by gnuplot (scripts/setup --bench installs it). Remarks
written by hand about that run, if any, are kept beside its record with the
same name and .md for .json, and are shown on the page as they are.
"""
import json
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import targets  # noqa: E402  (beside this file)

LINES = [  # (server, scenario, colour, dash type) of each line of the charts
    ("ssh-agent", "request_identities", "#666666", 1),
    ("git-credential-cache", "get", "#a6761d", 1),
    ("reference-blocking", "ping", "#1b9e77", 1),
    ("reference-poll", "ping", "#7570b3", 1),
    ("agent", "ping", "#d95f02", 1),
    ("agent", "status", "#d95f02", 2),
    ("agent", "get_secret", "#d95f02", 3),
    ("agent-wake", "ping", "#e7298a", 1),
    ("agent-wake", "status", "#e7298a", 2),
    ("agent-wake", "get_secret", "#e7298a", 3),
]
PERCENTILES = ("min", "p50", "p90", "p99", "max")
SERVERS = {
    "reference-blocking": "blocking accept, one thread per connection, a fixed \"ping\" reply: "
                          "the limit of an accept loop that wakes on a connection",
    "reference-poll": "the same server with the default accept loop (non-blocking accept, "
                      "a sleep when nothing is pending): the limit of the default agent",
    "agent": "the agent as it is by default",
    "agent-wake": "the agent with `TARNWEL_AGENT_WAKE_ON_CONNECT=1`: it waits in poll(), and "
                  "its connection threads stay for the next connection",
    "ssh-agent": "peer: OpenSSH's ssh-agent holding one ed25519 key, asked for its identities "
                 "(SSH2_AGENTC_REQUEST_IDENTITIES); a single-threaded poll loop",
    "git-credential-cache": "peer: git's credential-cache daemon holding one credential, asked to "
                            "`get` it; a single-threaded poll loop",
}
TERMINAL = 'set terminal svg size 760,460 dynamic noenhanced font "sans,12" background rgb "white"'


def fmt(value, digits=0):
    return "-" if value is None else f"{value:,.{digits}f}"


def table(header, rows):
    out = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    out += ["| " + " | ".join(str(c) for c in r) + " |" for r in rows]
    return "\n".join(out) + "\n"


def gnuplot(script):
    try:
        subprocess.run(["gnuplot"], input=script, text=True, check=True)
    except FileNotFoundError:
        sys.exit("bench/render.py: gnuplot is missing; scripts/setup --bench installs it")


def plot(name, datasets, settings, out_dir):
    """One chart of lines: datasets are (title, colour, dash, [(x, y)...])."""
    script = [TERMINAL, f'set output "{os.path.join(out_dir, name)}"', *settings,
              "set grid", "set key below maxrows 3"]
    curves = []
    for i, (title, colour, dash, points) in enumerate(datasets):
        script.append(f"$d{i} << EOD")
        script += [f"{x} {y}" for x, y in points]
        script.append("EOD")
        point = 7 + 2 * (dash - 1)  # a point shape per request as well as a dash type
        curves.append(f'$d{i} using 1:2 with linespoints lw 2 pt {point} ps 0.7 lc rgb "{colour}" '
                      f'dt {dash} title "{title}"')
    script.append("plot " + ", \\\n  ".join(curves))
    gnuplot("\n".join(script) + "\n")


def charts(run, out_dir):
    counts = run["settings"]["client_counts"]
    throughput = []
    for server, scenario, colour, dash in LINES:
        points = [(c, r["requests_per_second"]) for c in counts
                  if (r := targets.row(run, server, scenario, c))]
        if points:
            throughput.append((f"{server} {scenario}", colour, dash, points))
    plot("performance-throughput.svg", throughput, [
        "set logscale xy", f"set xtics ({', '.join(str(c) for c in counts)})",
        'set xlabel "clients, each one connection per request"',
        'set ylabel "requests per second (log)"', "set format y '%.0s%c'"], out_dir)
    latency = []
    for server, scenario, colour, dash in LINES:
        r = targets.row(run, server, scenario, 1)
        if r:
            points = [(i, r["latency_ms"][p]) for i, p in enumerate(PERCENTILES)]
            latency.append((f"{server} {scenario}", colour, dash, points))
    tics = ", ".join(f'"{p}" {i}' for i, p in enumerate(PERCENTILES))
    plot("performance-latency.svg", latency, [
        "set logscale y", f"set xtics ({tics})", "set xrange [-0.2:4.2]",
        'set xlabel "one client: latency from connect to reply"',
        'set ylabel "milliseconds (log)"'], out_dir)


def load_rows(run):
    rows = []
    for r in run["closed_loop"]:
        blocking = targets.row(run, targets.BLOCKING, "ping", r["clients"])
        same_loop = targets.row(run, targets.SAME_LOOP, "ping", r["clients"])
        peer = targets.better_peer(run, r["clients"])
        ratio = lambda other: fmt(r["requests_per_second"] / other["requests_per_second"], 3) \
            if other and other["requests_per_second"] > 0 else "-"
        l = r["latency_ms"]
        rows.append([r["server"], r["scenario"], r["clients"], fmt(r["requests_per_second"]),
                     ratio(peer), ratio(blocking), ratio(same_loop), fmt(l["p50"], 3), fmt(l["p90"], 3),
                     fmt(l["p99"], 3), fmt(l["max"], 3),
                     fmt(r.get("minor_faults_per_request"), 2), fmt(r.get("cpu_us_per_request"), 1),
                     r["failed"]])
    return rows


def micro_rows(run):
    scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}
    def time(value, unit):
        ns = value * scale.get(unit, 1)
        for limit, div, name in ((1e6, 1e6, "ms"), (1e3, 1e3, "µs")):
            if ns >= limit:
                return f"{ns / div:.2f} {name}"
        return f"{ns:.0f} ns"
    return [[f"`{b['name']}`", time(b["real_time"], b["time_unit"]),
             time(b["cpu_time"], b["time_unit"]), b["iterations"]]
            for b in run.get("micro", []) if b.get("run_type", "iteration") == "iteration"]


def page(run, record_name, remarks):
    info = run.get("info", {})
    window = run["settings"]["idle_window_s"]
    seconds = run["settings"]["duration_ms"] / 1000
    verdicts = targets.evaluate(run)
    missed = sum(1 for *_, holds in verdicts if not holds)
    out = [f"""# Performance

Rendered by `bench/render.py` from `{record_name}`, which `bench/run` wrote on
{info.get('date', '?')} from commit `{info.get('commit', '?')[:12]}`{'' if info.get('worktree_clean') == 'yes' else ' (with uncommitted changes)'}.
Every figure comes from that one run, on the machine below (its load average
before and after the run says how busy it was): absolute figures move from
run to run, and what carries over are the ratios between servers of the same
run. Each row is {run['settings']['rounds']} rounds of {seconds:g} s, the rounds
interleaved across the servers, so that a change of load falls on all alike;
the same-loop reference, which the default agent is judged by, runs again
beside each of the agent's three requests in every round, and its row sums
all of them. `bench/run --check` judges the targets below and exits non-zero naming each one
missed; `python3 bench/targets.py RECORD` does the same for a record.

""", table(["machine", ""], [
        ["CPU", info.get("cpu", "?")], ["cores", info.get("nproc", "?")],
        ["memory", info.get("memory", "?")], ["kernel", info.get("kernel", "?")],
        ["compiler", info.get("compiler", "?")], ["build", "Release (preset `bench`)"],
        ["load average before / after", f"{info.get('load_before', '?')} / {info.get('load_after', '?')}"],
        ["locked-memory limit (ulimit -l)", f"{info.get('ulimit_l', '?')} KiB, run as uid {info.get('uid', '?')}"]]),
        f"\n## Targets\n\n{len(verdicts) - missed} of {len(verdicts)} hold"
        + (f"; {missed} missed, see the remarks below." if missed else ".") + "\n\n",
        table(["target", "measured", "verdict"],
              [[n, m, "holds" if h else "**missed**"] for n, m, h in verdicts])]
    if remarks:
        out.append("\n## Remarks on this run\n\n" + remarks.strip() + "\n")
    out.append("""
## Load: one connection per request

""" + table(["server", "what it is"], [[f"`{k}`", v] for k, v in SERVERS.items()]) + """
Each client is a thread that connects, sends one request, reads the reply and
closes, then starts its next request at once. Latency is from connect to the
complete reply.

![Requests per second against the number of clients](performance-throughput.svg)

Throughput against the number of clients, both scales logarithmic.

![Latency percentiles with one client](performance-latency.svg)

Latency percentiles of one client, logarithmic.

The "x better peer" column divides req/s by that of the faster of the two
peers with the same number of clients, and the "x blocking" and "x same-loop"
columns by the `ping` row of that reference. The peers are started by the
bench in the run's private directory and driven by the same client code, one
connection per request, in the same interleaved rounds. Minor faults and CPU time per
request are the server process's own over the row (minflt and utime+stime of
/proc/PID/stat, ended threads included), divided by its requests.

""" + table(["server", "scenario", "clients", "req/s", "x better peer", "x blocking",
                "x same-loop", "p50 ms",
                "p90 ms", "p99 ms", "max ms", "minor faults/req", "CPU µs/req", "failed"],
               load_rows(run)))
    idle_rows = [[f"`{r['process']}`", r["main_thread_wakeups"], r["all_thread_wakeups"],
                  fmt(r["cpu_ms"], 3), fmt(r["cpu_ms"] / (window * 10), 4) + " %", r["cpu_ticks"],
                  r["memory"]["rss_kib"], r["memory"]["pss_kib"]] for r in run["idle"]]
    after = {a["process"]: a["memory"] for a in run.get("after_load", [])}
    out.append(f"""
## Idle

Every server left alone for {window} s after start-up, nothing cached. A wake-up is a
voluntary context switch (from /proc/PID/task/TID/status): of the main thread,
where the accept loop sleeps, and of all threads. CPU time is the run time of
all threads from their schedstat, and utime+stime in clock ticks.
""" + (f"{run['settings'].get('after_burst_s', '?')} s after the last load the agent's VmRSS was "
       f"{after.get('agent', {}).get('rss_kib', '-')} KiB in "
       f"{after.get('agent', {}).get('threads', '-')} thread(s)"
       + (f", with the setting {after['agent-wake']['rss_kib']} KiB in "
          f"{after['agent-wake']['threads']} thread(s)" if "agent-wake" in after else "")
       + ".\n" if after else "") + "\n" + table(
        ["process", f"main-thread wake-ups in {window} s", "all threads' wake-ups", "CPU ms",
         "share of one core", "CPU ticks", "VmRSS KiB", "Pss KiB"], idle_rows))
    growth = run["cache_growth"]
    who = (f"as the ordinary user nobody under a locked-memory limit of "
           f"{growth['memlock_limit_kib']} KiB" if growth["as_ordinary_user"] else "as this user")
    out.append(f"""
## Locked memory as the cache grows

A fresh default agent, run {who}, filled by "unlock" requests of
{growth['secret_bytes']}-byte secrets one after the other; it wrote
{growth['mlock_warnings']} mlock warning line(s). VmLck and VmRSS from /proc/PID/status, Locked
from smaps_rollup.

""" + table(["cached secrets", "VmRSS KiB", "VmLck KiB", "smaps Locked KiB", "fill s", "failed unlocks"],
            [[s["profiles"], s["memory"]["rss_kib"], s["memory"]["locked_kib"],
              s["memory"]["smaps_locked_kib"], fmt(s.get("fill_seconds"), 1),
              s.get("failed_unlocks", "-")] for s in growth["steps"]]))
    micro = micro_rows(run)
    if micro:
        out.append("""
## Micro-benchmarks

Google Benchmark, linked against the agent's own libraries.

""" + table(["benchmark", "real time", "CPU time", "iterations"], micro))
    return "".join(out)


def main(argv):
    if len(argv) not in (2, 3):
        print("usage: bench/render.py RUN.json [DOCS_DIR]", file=sys.stderr)
        return 2
    record = argv[1]
    docs = argv[2] if len(argv) == 3 else os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                       "..", "docs")
    with open(record, encoding="utf-8") as f:
        run = json.load(f)
    remarks_path = os.path.splitext(record)[0] + ".md"
    remarks = open(remarks_path, encoding="utf-8").read() if os.path.exists(remarks_path) else ""
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    name = os.path.relpath(os.path.abspath(record), root)
    charts(run, docs)
    with open(os.path.join(docs, "performance.md"), "w", encoding="utf-8") as f:
        f.write(page(run, name, remarks))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
