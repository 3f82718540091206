#!/usr/bin/env bash
# Builds the fuzz preset (clang, libFuzzer, ASan+UBSan) and runs each fuzz target on its seed
# corpus in tests/data/fuzz/<target>. Fails on any finding: a crash, a broken invariant, a
# verifier report, a leak or a hang; the input that found it is kept in build/fuzz/findings.
#   scripts/fuzz.sh                  a short run: 20 s per target
#   scripts/fuzz.sh --long N [T...]  a campaign of N seconds per target (all three, or those
#                                    named), growing a corpus in build/fuzz/corpus/<target>
# FUZZ_FLAGS adds libFuzzer options, e.g. FUZZ_FLAGS=-entropic=0 for more inputs a second.
set -euo pipefail
cd "$(dirname "$0")/.."

targets=(board_model_fuzzer driver_dispatch_fuzzer vornhost_protocol_fuzzer)
seconds=20
mode=short
if [[ ${1:-} == --long ]]; then
    seconds=${2:?"--long needs a number of seconds per target"}
    mode=long
    shift 2
    if (($#)); then targets=("$@"); fi
fi

scripts/setup.sh

out=build/fuzz
mkdir -p "$out/findings" "$out/logs"
# The build is quiet unless it fails; then its last lines say why.
if ! scripts/build.sh fuzz "${targets[@]}" >"$out/logs/build.log" 2>&1; then
    echo "== fuzz: the build failed ($out/logs/build.log):" >&2
    tail -n 40 "$out/logs/build.log" >&2
    exit 1
fi
failed=0
for target in "${targets[@]}"; do
    seeds=tests/data/fuzz/$target
    if [[ $mode == long ]]; then
        corpus=$out/corpus/$target
        mkdir -p "$corpus"
    else
        corpus=$(mktemp -d)
    fi
    log=$out/logs/$target.$mode.log
    if [[ $mode == long ]]; then log=$out/logs/$target.long.$(date -u +%Y%m%dT%H%M%S).log; fi
    echo "== fuzz: $target for ${seconds} s"
    # The daemon target's connections log to standard error: the log file keeps it all.
    # -timeout: an input running a minute is a hang; -rss_limit_mb: a leak that grows is one.
    if "$out/tests/fuzz/$target" "$corpus" "$seeds" -max_total_time="$seconds" -timeout=60 \
        -rss_limit_mb=4096 -max_len=4096 -print_final_stats=1 \
        -artifact_prefix="$out/findings/$target-" ${FUZZ_FLAGS:-} >"$log" 2>&1; then
        grep -E "^stat::number_of_executed_units" "$log" | sed "s/^/   /"
    else
        failed=1
        echo "!! $target found a fault; the input is in $out/findings, the log is $log"
        grep -E "==fuzz==|ERROR|SUMMARY|^artifact_prefix|Test unit written" "$log" | head -20
    fi
    if [[ $mode == short ]]; then rm -rf "$corpus"; fi
done
exit $failed
