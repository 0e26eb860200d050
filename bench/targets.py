#!/usr/bin/env python3
"""The targets a run of bench/run is judged by, read from its JSON record.

    python3 bench/targets.py bench/results/run-20261208T1200Z.json

prints every target with the figure it is judged by, and exits 1 naming each
target missed (a figure the record lacks counts as missed). bench/render.py
shows the same verdicts in docs/performance.md.
"""
import json
import sys

DEFAULT, WAKE = "agent", "agent-wake"
SAME_LOOP, BLOCKING = "reference-poll", "reference-blocking"
SCENARIOS = ("ping", "status", "get_secret")
# The peers' own requests: ssh-agent's identities, git's credential cache's "get".
PEERS = (("ssh-agent", "request_identities"), ("git-credential-cache", "get"))


def row(run, server, scenario, clients):
    for r in run.get("closed_loop", []):
        if (r["server"], r["scenario"], r["clients"]) == (server, scenario, clients):
            return r
    return None


def better_peer(run, clients):
    """The peer row with the most req/s at `clients`, or None."""
    rows = [r for server, scenario in PEERS if (r := row(run, server, scenario, clients))]
    return max(rows, key=lambda r: r["requests_per_second"], default=None)


def idle(run, process):
    return next((r for r in run.get("idle", []) if r["process"] == process), None)


def at_least(name, mine, theirs, factor, what):
    """`mine` req/s at least `factor` times `theirs`; both closed-loop rows."""
    if mine is None or theirs is None:
        return name, "not measured", False
    a, b = mine["requests_per_second"], theirs["requests_per_second"]
    ratio = a / b if b > 0 else 0
    return name, f"{a:.0f} vs {b:.0f} req/s ({what}) = {ratio:.3f}x", ratio >= factor


def evaluate(run):
    """(target, measured, holds) for every target."""
    results = []
    for clients, factor in ((1, 0.9), (64, 1.0)):
        peer = better_peer(run, clients)
        for scenario in ("ping", "get_secret"):
            results.append(at_least(
                f'with the setting, {clients} client{"s" if clients > 1 else ""} "{scenario}": '
                f"at least {factor}x the better peer's req/s",
                row(run, WAKE, scenario, clients), peer, factor,
                peer["server"] if peer else "no peer measured"))
    for scenario in ("ping", "get_secret"):
        wake = row(run, WAKE, scenario, 1)
        p50 = wake["latency_ms"]["p50"] if wake else None
        results.append((f'with the setting, 1 client "{scenario}": p50 under 0.1 ms',
                        "not measured" if p50 is None else f"{p50:.3f} ms",
                        p50 is not None and p50 < 0.1))
    for scenario in SCENARIOS:
        results.append(at_least(
            f'with the setting, 64 clients "{scenario}": at least the default agent\'s req/s',
            row(run, WAKE, scenario, 64), row(run, DEFAULT, scenario, 64), 1.0,
            "default agent"))
    wake_idle, default_idle = idle(run, WAKE), idle(run, DEFAULT)
    window = run.get("settings", {}).get("idle_window_s", 10)
    results.append((
        f"with the setting, idle: at most 10 wake-ups of the main thread in {window} s",
        "not measured" if wake_idle is None else
        f"{wake_idle['main_thread_wakeups']} (default agent "
        f"{default_idle['main_thread_wakeups'] if default_idle else '-'})",
        wake_idle is not None and wake_idle["main_thread_wakeups"] <= 10))
    after = next((a for a in run.get("after_load", []) if a["process"] == WAKE), None)
    threads = after["memory"]["threads"] if after else None
    burst = run.get("settings", {}).get("after_burst_s")
    results.append((
        f"with the setting, at most 2 threads {burst} s after the last burst",
        "not measured" if threads is None or burst is None else f"{threads} thread(s)",
        threads is not None and burst is not None and threads <= 2))
    same_loop = row(run, SAME_LOOP, "ping", 64)
    for scenario in SCENARIOS:
        results.append(at_least(
            f'default agent, 64 clients "{scenario}": at least 0.95x the same-loop reference\'s req/s',
            row(run, DEFAULT, scenario, 64), same_loop, 0.95, "same-loop reference ping"))
    for server in (DEFAULT, WAKE):
        for scenario in SCENARIOS:
            r = row(run, server, scenario, 64)
            if r is None and server == WAKE:
                continue  # already missed above
            faults = r.get("minor_faults_per_request") if r else None
            results.append((
                f'{server}, 64 clients "{scenario}": at most 2 minor faults per request',
                "not measured" if faults is None else
                f"{faults:.2f} per request, {r['cpu_us_per_request']:.1f} µs CPU per request",
                faults is not None and faults <= 2))
    growth = run.get("cache_growth", {})
    last = next((s for s in growth.get("steps", []) if s["profiles"] == 10000), None)
    if last is None:
        results.append(("10,000 cached secrets lock at most 1 MiB", "not measured", False))
    else:
        locked = max(last["memory"]["locked_kib"], last["memory"]["smaps_locked_kib"])
        who = "as nobody under an 8 MiB limit" if growth["as_ordinary_user"] else "as this user"
        results.append((
            "10,000 cached secrets lock at most 1 MiB, with no mlock warning and every unlock ok",
            f"{locked} KiB locked, {growth['mlock_warnings']} warning(s), "
            f"{last['failed_unlocks']} failed unlock(s), {who}",
            locked <= 1024 and growth["mlock_warnings"] == 0 and last["failed_unlocks"] == 0))
    return results


def main(argv):
    if len(argv) != 2:
        print("usage: bench/targets.py RUN.json", file=sys.stderr)
        return 2
    with open(argv[1], encoding="utf-8") as f:
        results = evaluate(json.load(f))
    missed = [(name, measured) for name, measured, holds in results if not holds]
    for name, measured, holds in results:
        print(f"{'holds ' if holds else 'MISSED'}  {name}: {measured}")
    for name, measured in missed:
        print(f"bench: target missed: {name}: {measured}", file=sys.stderr)
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
