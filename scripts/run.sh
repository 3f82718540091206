#!/usr/bin/env bash
# Sets up, builds and opens the control utility vornGui on a simulated timing board: through a
# vornhost daemon on the default machine where its socket can be used, else on the board that
# vornGui starts inside itself. Without a display it shows the board's status with vornctl and
# says how to open vornGui. VORN_HOST_SOCKET names the daemon's socket in place of the default.
# Arguments go to vornGui.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh default vornGui vornhost vornctl

bin=build/default
socket=${VORN_HOST_SOCKET:-/run/vornhost/vornhost.sock}
socket_dir=$(dirname "$socket")

# Starts vornhost in the background and waits (bounded) until it listens or gives up; sets
# host_pid when it listens. Its log is in $log.
log=$bin/vornhost-run.log
host_pid=
start_host() {
    "$bin/host/vornhost" --socket "$socket" >"$log" 2>&1 &
    local pid=$!
    for _ in $(seq 150); do
        if grep -q "listening on" "$log"; then
            host_pid=$pid
            return
        fi
        if ! kill -0 "$pid" 2>/dev/null; then
            wait "$pid" || true
            return
        fi
        sleep 0.1
    done
    kill "$pid" 2>/dev/null || true
    wait "$pid" || true
}

# The daemon makes the socket's directory itself where the nearest one that exists lets it.
socket_usable() {
    local dir=$socket_dir
    while [[ ! -e $dir ]]; do
        dir=$(dirname "$dir")
    done
    [[ -S $socket || -w $dir ]]
}

if socket_usable; then
    start_host
    if [[ -n $host_pid ]]; then
        trap 'kill "$host_pid" 2>/dev/null; wait "$host_pid" 2>/dev/null || true' EXIT
        echo "run: vornhost (pid $host_pid) serves one simulated GPS board as VORNpci0 at $socket"
    elif grep -q "already answers" "$log"; then
        echo "run: using the vornhost daemon that already answers at $socket"
    else
        echo "run: vornhost could not start ($(tail -n 1 "$log")); the simulated board runs in-process"
    fi
else
    echo "run: $socket_dir cannot be used by $(id -un); the simulated board runs in-process"
fi

if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
    echo "run: no display here (neither DISPLAY nor WAYLAND_DISPLAY is set); the board, read by vornctl:"
    VORN_HOST_SOCKET=$socket "$bin/ctl/vornctl" status
    cat <<TEXT
run: vornGui is a windowed program. To open it, run this script in a desktop session, or on a
virtual display:
    xvfb-run -a bash scripts/run.sh
Every board function is also on the command line: $bin/ctl/vornctl --help
TEXT
    exit 0
fi

echo "run: choose VORNpci0 for the simulated board, or DEMO for the demonstration board"
VORN_HOST_SOCKET=$socket "$bin/gui/app/vornGui" "$@"
