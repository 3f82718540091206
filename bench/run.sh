#!/usr/bin/env bash
# Builds the benchmarks (build/bench, RelWithDebInfo) and runs them pinned to one CPU, so that
# every process and thread of a comparison shares that CPU; writes the raw results and a
# summary of every ratio to build/bench-results/<UTC time>/ and prints the summary.
#   bash bench/run.sh [--cpu N] [--quick] [--no-rt]
# As root the benchmarks (and the processes they start) run under SCHED_FIFO priority 10, so
# that other work on a shared machine does not preempt them; --no-rt runs them as ordinary
# processes.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
cpu="$(($(nproc) - 1))"
quick=0
rt=0
[[ $(id -u) -eq 0 ]] && command -v chrt >/dev/null && rt=1
while [[ $# -gt 0 ]]; do
    case "$1" in
    --cpu) cpu="$2"; shift 2 ;;
    --quick) quick=1; shift ;;
    --no-rt) rt=0; shift ;;
    *) echo "usage: bash bench/run.sh [--cpu N] [--quick] [--no-rt]" >&2; exit 2 ;;
    esac
done

# Prints every ratio of a run against its goal, from the JSON results the run wrote.
summarize() {
    python3 - "$1" <<'PY'
"""Prints every ratio of a benchmark run against its goal, from the JSON results that run.sh
wrote, taking the median over repetitions (and showing their range)."""
import json
import re
import statistics
import sys
from pathlib import Path


def counters(results_dir, program):
    path = Path(results_dir) / f"{program}.json"
    if not path.exists():
        return {}
    runs = {}
    for b in json.loads(path.read_text())["benchmarks"]:
        if b.get("run_type") != "iteration" or b.get("error_occurred"):
            continue
        name = re.sub(r"/(iterations|repeats):\d+|/manual_time", "", b["run_name"])
        for key, value in b.items():
            if isinstance(value, (int, float)) and not isinstance(value, bool):
                runs.setdefault(name, {}).setdefault(key, []).append(value)
    return runs


def value(runs, name, key, worst=False):
    """The median over the repetitions, or with `worst` the largest (for counts that must stay
    zero in every repetition), and the range."""
    values = runs.get(name, {}).get(key)
    if not values:
        return None, ""
    spread = f" [{min(values):.3g}..{max(values):.3g}]" if len(values) > 1 else ""
    return (max(values) if worst else statistics.median(values)), spread


def syscalls_per_request(results_dir, requests=1000):
    path = Path(results_dir) / "syscalls.strace"
    if not path.exists():
        return None
    inside, count = False, 0
    for line in path.read_text().splitlines():
        if "close(-100)" in line:
            inside = True
            continue
        if "close(-101)" in line:
            break
        if inside and "resumed>" not in line and "+++" not in line and "---" not in line:
            count += 1
    return count / requests


def main():
    out = sys.argv[1]
    inproc, daemon = counters(out, "inprocess_bench"), counters(out, "daemon_bench")
    rows = []

    def row(what, runs, name, key, goal, check, fmt="{:.3f}"):
        """One line of the table; `key` may be a tuple of counters shown side by side (medians,
        for reading only)."""
        if isinstance(key, tuple):
            shown = [value(runs, name, k)[0] for k in key]
            text = "n/a" if None in shown else " / ".join(fmt.format(v) for v in shown)
            rows.append((what, text, goal, ""))
            return
        worst = goal == "0"  # a count that must be zero in every repetition: the largest
        v, spread = value(runs, name, key, worst)
        shown = "n/a" if v is None else fmt.format(v) + spread
        met = "n/a" if v is None else ("met" if check(v) else "NOT met")
        rows.append((what, shown, goal, met))

    row("getTime via vornhost / bare round trip, median", daemon, "GetTimeVsBareRoundTrip",
        "ratio_p50", "<= 1.3", lambda v: v <= 1.3)
    row("getTime via vornhost / bare round trip, p99", daemon, "GetTimeVsBareRoundTrip",
        "ratio_p99", "<= 1.5", lambda v: v <= 1.5)
    row("  vornhost median us", daemon, "GetTimeVsBareRoundTrip", "ours_p50_us", "", lambda v: True)
    row("  bare round trip median us", daemon, "GetTimeVsBareRoundTrip", "base_p50_us", "",
        lambda v: True)
    row("getTime in-process, median us", inproc, "GetTimeInProcess", "p50_us", "<= 1",
        lambda v: v <= 1.0)
    sc = syscalls_per_request(out)
    rows.append(("getTime in-process, system calls per request (all threads)",
                 "n/a" if sc is None else f"{sc:.3f}", "0",
                 "n/a" if sc is None else ("met" if sc == 0 else "NOT met")))
    row("time-set entry / bare 11 x 100 us paced loop, median", inproc, "TimeSetEntry",
        "ratio_p50", "<= 1.05", lambda v: v <= 1.05)
    row("time-set entry / bare 11 x 100 us paced loop, p99", inproc, "TimeSetEntry",
        "ratio_p99", "<= 1.1", lambda v: v <= 1.1)
    for key, what in (("ours_p50_us", "time-set entry median us"),
                      ("ours_p99_us", "time-set entry p99 us"),
                      ("floor_p50_us", "bare paced loop median us"),
                      ("floor_p99_us", "bare paced loop p99 us")):
        row(f"  {what}", inproc, "TimeSetEntry", key, "", lambda v: True)
    row("time-set entry, command gaps under 100 us", inproc, "TimeSetEntry", "gaps_under_100us",
        "0", lambda v: v == 0, "{:.0f}")
    row("  shortest gap between commands, us", inproc, "TimeSetEntry", "min_gap_us", ">= 100",
        lambda v: v >= 100)
    for what, name in (("waitEvent", "EventVsEventfdChain/2000"),
                       ("subscriber's nextEvent", "EventToSubscriberVsEventfdChain/2000")):
        row(f"event -> {what} via vornhost / eventfd chain, median", daemon, name, "ratio_p50",
            "<= 1.25", lambda v: v <= 1.25)
        row(f"event -> {what} via vornhost / eventfd chain, p99", daemon, name, "ratio_p99",
            "<= 1.5", lambda v: v <= 1.5)
        row("  vornhost event median / p99 us", daemon, name, ("ours_p50_us", "ours_p99_us"), "",
            lambda v: True)
        row("  eventfd chain median / p99 us", daemon, name, ("base_p50_us", "base_p99_us"), "",
            lambda v: True)
    for ms, goal in ((1, 1.05), (10, 1.05)):
        name = f"WaitTimeout/{ms}/{2000 if ms == 1 else 300}"
        row(f"wait time-out {ms} ms: (time-out + p99 late) / (time-out + bare p99 late)",
            daemon, name, "ratio_p99", f"<= {goal}", lambda v, g=goal: v <= g)
        row(f"  waits of {ms} ms that ended early", daemon, name, "ended_early", "0",
            lambda v: v == 0, "{:.0f}")
        row(f"  p99 lateness us: vornhost", daemon, name, "late_p99_us", "", lambda v: True)
        row(f"  p99 lateness us: bare timed wait, same run", daemon, name, "bare_late_p99_us", "",
            lambda v: True)
        inname = f"WaitTimeoutInProcess/{ms}/{1000 if ms == 1 else 200}"
        row(f"  in-process: (time-out + p99 late) / (time-out + bare p99 late)", inproc,
            inname, "ratio_p99", f"<= {goal}", lambda v, g=goal: v <= g)
        row(f"  in-process p99 lateness us: ours", inproc, inname, "late_p99_us", "",
            lambda v: True)
        row(f"  in-process p99 lateness us: bare timed wait", inproc, inname, "bare_late_p99_us",
            "", lambda v: True)
    row("events delivered per second (one client)", daemon, "EventThroughput/20000/10",
        "delivered_per_s", ">= 20000", lambda v: v >= 20000, "{:.0f}")
    row("  events lost", daemon, "EventThroughput/20000/10", "lost", "0", lambda v: v == 0,
        "{:.0f}")
    train = "EventsToTwoSubscribers/20000/10"
    row("events lost, two subscribers, 20,000/s for 10 s (each: tagged - delivered)", daemon,
        train, "lost_most", "0", lambda v: v == 0, "{:.0f}")
    row("  events tagged", daemon, train, "tagged", "", lambda v: True, "{:.0f}")
    for n in (1, 2):
        row(f"  subscriber {n}: delivered / counted drops / lost", daemon, train,
            (f"delivered_{n}", f"counted_drops_{n}", f"lost_{n}"), "", lambda v: True, "{:.0f}")
    burst = "EventsToTwoSubscribers/100000/1"
    row("burst 100,000/s, two subscribers: delivered + counted drops != tagged", daemon, burst,
        "identity_failures", "0", lambda v: v == 0, "{:.0f}")
    row("  events tagged", daemon, burst, "tagged", "", lambda v: True, "{:.0f}")
    for n in (1, 2):
        row(f"  subscriber {n}: delivered / counted drops", daemon, burst,
            (f"delivered_{n}", f"counted_drops_{n}"), "", lambda v: True, "{:.0f}")
    row("  board FIFO overflows", daemon, burst, "fifo_overflows", "", lambda v: True, "{:.0f}")
    row("  events whose sequence does not follow from the last one's", daemon, burst,
        "sequence_breaks", "0", lambda v: v == 0, "{:.0f}")
    row("heap allocations per request, in-process", inproc, "GetTimeInProcess",
        "allocs_per_request", "0", lambda v: v == 0)
    row("heap allocations per request, vornhost client", daemon, "AllocationsPerRequest/10000",
        "client_allocs_per_request", "0", lambda v: v == 0)
    row("heap allocations per request, vornhost daemon", daemon, "AllocationsPerRequest/10000",
        "daemon_allocs_per_request", "0", lambda v: v == 0)

    for where, runs, name in (("in-process", inproc, "StampedTimeInProcess/4"),
                              ("via vornhost", daemon, "StampedTimeThroughDaemon/4")):
        row(f"stamped time {where}: p99 |error| us (best of 4 reads)", runs, name,
            "abs_err_p99_us", "<= 2", lambda v: v <= 2.0)
        row(f"  median error us (board shows whole us, cut off)", runs, name, "err_p50_us", "",
            lambda v: True)
        row(f"stamped time {where}: error bound p99 / floor p99", runs, name,
            "bound_p99_over_floor_p99", "<= 2", lambda v: v <= 2.0)
        row(f"  error bound (half the bracket) median us", runs, name, "bound_p50_us", "",
            lambda v: True)
        row(f"  error bound p99 us", runs, name, "bound_p99_us", "", lambda v: True)
        row(f"  floor: two back-to-back clock_gettime, median us", runs, name, "floor_p50_us", "",
            lambda v: True)
        row(f"  floor p99 us", runs, name, "floor_p99_us", "", lambda v: True)

    width = max(len(r[0]) for r in rows)
    print("median over repetitions [range]; counts with goal 0: the largest")
    print(f"{'what':<{width}}  {'measured':<26} {'goal':<9} result")
    for what, shown, goal, met in rows:
        print(f"{what:<{width}}  {shown:<26} {goal:<9} {'' if not goal else met}")


if __name__ == "__main__":
    main()
PY
}

build="$root/build/bench"
"$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_WERROR=ON >/dev/null
cmake --build "$build" --target benchmarks -j2

out="$root/build/bench-results/$(date -u +%Y%m%dT%H%M%SZ)"
mkdir -p "$out"
{
    echo "date: $(date -u)"
    echo "kernel: $(uname -srmv)"
    echo "pinned to cpu: $cpu"
    echo "scheduling: $([[ $rt -eq 1 ]] && echo 'SCHED_FIFO priority 10' || echo 'ordinary (SCHED_OTHER)')"
    echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
    lscpu
} >"$out/machine.txt"

launch=(taskset -c "$cpu")
[[ $rt -eq 1 ]] && launch=(chrt -f 10 taskset -c "$cpu")

repetitions=()
if [[ $quick -eq 0 ]]; then
    repetitions=(--benchmark_repetitions=3 --benchmark_report_aggregates_only=false)
fi
for program in inprocess_bench daemon_bench; do
    "${launch[@]}" "$build/bench/$program" "${repetitions[@]}" \
        --benchmark_out="$out/$program.json" --benchmark_out_format=json \
        | tee "$out/$program.txt"
done

# System calls of every thread between the probe's two markers, over 1,000 time reads.
if command -v strace >/dev/null; then
    "${launch[@]}" strace -f -qq -o "$out/syscalls.strace" "$build/bench/syscall_probe" 1000 \
        >"$out/syscall_probe.txt"
else
    echo "strace is not installed: no system-call count" >"$out/syscall_probe.txt"
fi

summarize "$out" | tee "$out/summary.txt"
grep -E "^(date|kernel|pinned|scheduling|load)" "$out/machine.txt"
echo "results in $out"
