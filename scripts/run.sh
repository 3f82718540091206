#!/usr/bin/env bash
# Sets up, builds and opens the control utility vornGui on a simulated timing board: through a
# vornhost daemon on the default machine where its socket can be used, else on the board that
# vornGui starts inside itself. Arguments go to vornGui.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh default vornGui vornhost vornctl

bin=build/default
socket_dir=/run/vornhost
socket=$socket_dir/vornhost.sock

if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
    cat >&2 <<TEXT
run: no display here (neither DISPLAY nor WAYLAND_DISPLAY is set), and vornGui is a windowed
program. Either run it on a virtual display:
    xvfb-run -a bash scripts/run.sh
or use the same board functions on the command line:
    $bin/ctl/vornctl status        ($bin/ctl/vornctl --help lists every command)
TEXT
    exit 1
fi

# Starts vornhost in the background and waits (bounded) until it listens or gives up; prints
# its pid when it listens, nothing otherwise. Its log is in $log.
log=$bin/vornhost-run.log
start_host() {
    "$bin/host/vornhost" >"$log" 2>&1 &
    local pid=$!
    for _ in $(seq 150); do
        if grep -q "listening on" "$log"; then
            echo "$pid"
            return
        fi
        if ! kill -0 "$pid" 2>/dev/null; then
            return
        fi
        sleep 0.1
    done
    kill "$pid" 2>/dev/null || true
}

if [[ $(id -u) -eq 0 ]]; then
    mkdir -p "$socket_dir"
fi
host_pid=
if [[ -S $socket || -w $socket_dir ]]; then
    host_pid=$(start_host)
    if [[ -n $host_pid ]]; then
        trap 'kill "$host_pid" 2>/dev/null; wait "$host_pid" 2>/dev/null || true' EXIT
        echo "run: vornhost (pid $host_pid) serves one simulated GPS board as VORNpci0 at $socket"
    elif grep -q "already answers" "$log"; then
        echo "run: using the vornhost daemon that already answers at $socket"
    else
        echo "run: vornhost could not start ($(tail -n 1 "$log")); vornGui runs its simulated board in-process"
    fi
else
    echo "run: $socket_dir cannot be used by $(id -un); vornGui runs its simulated board in-process"
fi
echo "run: choose VORNpci0 for the simulated board, or DEMO for the demonstration board"
"$bin/gui/app/vornGui" "$@"
