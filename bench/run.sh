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

build="$root/build/bench"
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

python3 "$root/bench/summarize.py" "$out" | tee "$out/summary.txt"
grep -E "^(date|kernel|pinned|scheduling|load)" "$out/machine.txt"
echo "results in $out"
